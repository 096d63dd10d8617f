#include "rfid_desfire/secure_messaging.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "rfid_cardauth/scheme.h"

namespace rfid_desfire {
namespace {

constexpr std::uint8_t kWrapClass = 0x90;
constexpr std::uint8_t kReplyStatusByte = 0x91;
constexpr std::size_t kWrapHeaderSize = 5;  // CLA INS P1 P2 Lc
constexpr std::size_t kMaxWrappedData = 255;
constexpr std::uint8_t kPaddingStart = 0x80;
constexpr std::uint32_t kCrcPolynomial = 0xEDB88320;
constexpr std::size_t kSessionVectorSize = 32;
constexpr std::uint16_t kLastCounter = 0xFFFF;
// AuthenticateEV2First's answer: TI, rotl(RndA), PDcap2, PCDcap2.
constexpr std::size_t kFirstAnswerSize = kTiSize + kRandomSize + 2 * kCapabilitySize;
static_assert(kFirstAnswerSize == 2 * kAesBlock, "the answer is two AES blocks");

template <std::size_t N>
using Scratch = rfid_cardauth::Secret<N>;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

bool runCipher(bool encrypt, const EVP_CIPHER* cipher, const AesKey& key, const std::uint8_t* iv,
               const std::uint8_t* in, std::size_t size, std::uint8_t* out) {
  if (size % kAesBlock != 0 || size > static_cast<std::size_t>(INT32_MAX)) return false;
  if (size == 0) return true;
  const std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  int written = 0;
  int finalWritten = 0;
  return context &&
         EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) == 1 &&
         EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
         EVP_CipherUpdate(context.get(), out, &written, in, static_cast<int>(size)) == 1 &&
         EVP_CipherFinal_ex(context.get(), out + written, &finalWritten) == 1 &&
         static_cast<std::size_t>(written + finalWritten) == size;
}

const std::array<std::uint8_t, kAesBlock> kZeroIv{};

// Data with the padding 80 00 .. up to the next whole block; always at least
// one padding byte.
Bytes padded(const Bytes& data) {
  Bytes out = data;
  out.push_back(kPaddingStart);
  while (out.size() % kAesBlock != 0) out.push_back(0);
  return out;
}

// The data in front of the padding: the last non-zero byte must be 80 and
// lie in the last block. Empty for anything else.
std::optional<std::size_t> unpaddedLength(const Bytes& plain) {
  if (plain.empty() || plain.size() % kAesBlock != 0) return std::nullopt;
  std::size_t at = plain.size();
  while (at > 0 && plain[at - 1] == 0) --at;
  if (at == 0 || plain[at - 1] != kPaddingStart || plain.size() - (at - 1) > kAesBlock) {
    return std::nullopt;
  }
  return at - 1;
}

void wipe(Bytes& bytes) {
  OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
}

// The data of a Full-mode body: decrypted with `iv` and stripped of its
// padding. Empty, nothing of the plain text left, for a body that is not
// whole blocks, a libcrypto failure or wrong padding.
std::optional<Bytes> decryptPadded(const AesKey& key, const std::array<std::uint8_t, kAesBlock>& iv,
                                   const std::uint8_t* cipher, std::size_t size) {
  Bytes plain(size);
  const bool decrypted = cbcDecrypt(key, iv.data(), cipher, size, plain.data());
  const auto length = decrypted ? unpaddedLength(plain) : std::nullopt;
  if (!length) {
    wipe(plain);
    return std::nullopt;
  }
  plain.resize(*length);
  return plain;
}

}  // namespace

// ---- ISO 7816 wrapping ------------------------------------------------------

Bytes wrap(std::uint8_t command, const Bytes& data) {
  if (data.size() > kMaxWrappedData) return {};
  Bytes apdu(data.empty() ? kWrapHeaderSize : kWrapHeaderSize + data.size() + 1, 0x00);
  apdu[0] = kWrapClass;
  apdu[1] = command;
  if (!data.empty()) {
    apdu[4] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), apdu.begin() + kWrapHeaderSize);
  }
  return apdu;
}

std::optional<CardReply> unwrap(const std::uint8_t* reply, std::size_t size) {
  if (reply == nullptr || size < 2 || reply[size - 2] != kReplyStatusByte) return std::nullopt;
  return CardReply{reply[size - 1], Bytes(reply, reply + size - 2)};
}

std::optional<CardCommand> unwrapCommand(const std::uint8_t* apdu, std::size_t size) {
  if (apdu == nullptr || size < kWrapHeaderSize || apdu[0] != kWrapClass || apdu[2] != 0 ||
      apdu[3] != 0 || apdu[size - 1] != 0) {
    return std::nullopt;
  }
  if (size == kWrapHeaderSize) return CardCommand{apdu[1], {}};
  const std::size_t length = apdu[4];
  if (length == 0 || size != kWrapHeaderSize + length + 1) return std::nullopt;
  return CardCommand{apdu[1], Bytes(apdu + kWrapHeaderSize, apdu + kWrapHeaderSize + length)};
}

Bytes wrapReply(std::uint8_t cardStatus, const Bytes& data) {
  Bytes out = data;
  out.push_back(kReplyStatusByte);
  out.push_back(cardStatus);
  return out;
}

// ---- Primitives -------------------------------------------------------------

bool cbcEncrypt(const AesKey& key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t size,
                std::uint8_t* out) {
  return runCipher(true, EVP_aes_128_cbc(), key, iv, in, size, out);
}

bool cbcDecrypt(const AesKey& key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t size,
                std::uint8_t* out) {
  return runCipher(false, EVP_aes_128_cbc(), key, iv, in, size, out);
}

bool truncatedMac(const AesKey& key, const std::uint8_t* message, std::size_t size, Mac& out) {
  rfid_cardauth::Mac128 full{};
  if (!rfid_cardauth::cmac(key, message, size, full)) return false;
  for (std::size_t i = 0; i < kMacSize; ++i) out[i] = full[2 * i + 1];
  return true;
}

std::uint32_t crc32nk(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1U) != 0 ? kCrcPolynomial : 0);
  }
  return crc;
}

Random rotateLeft(const Random& value) {
  Random out;
  for (std::size_t i = 0; i < kRandomSize; ++i) out.data()[i] = value.data()[(i + 1) % kRandomSize];
  return out;
}

Random rotateRight(const Random& value) {
  Random out;
  for (std::size_t i = 0; i < kRandomSize; ++i) out.data()[(i + 1) % kRandomSize] = value.data()[i];
  return out;
}

std::array<std::uint8_t, 32> sessionVector(bool forMac, const Random& rndA, const Random& rndB) {
  const std::uint8_t* a = rndA.data();
  const std::uint8_t* b = rndB.data();
  std::array<std::uint8_t, kSessionVectorSize> sv = {
      static_cast<std::uint8_t>(forMac ? 0x5A : 0xA5),
      static_cast<std::uint8_t>(forMac ? 0xA5 : 0x5A),
      0x00,
      0x01,
      0x00,
      0x80};
  sv[6] = a[0];
  sv[7] = a[1];
  for (std::size_t i = 0; i < 6; ++i) sv[8 + i] = static_cast<std::uint8_t>(a[2 + i] ^ b[i]);
  std::copy(b + 6, b + 16, sv.begin() + 14);
  std::copy(a + 8, a + 16, sv.begin() + 24);
  return sv;
}

bool deriveSessionKeys(const AesKey& key, const Random& rndA, const Random& rndB,
                       SessionKeys& out) {
  std::array<std::uint8_t, kSessionVectorSize> sv1 = sessionVector(false, rndA, rndB);
  std::array<std::uint8_t, kSessionVectorSize> sv2 = sessionVector(true, rndA, rndB);
  rfid_cardauth::Mac128 enc{};
  rfid_cardauth::Mac128 mac{};
  const bool ok = rfid_cardauth::cmac(key, sv1.data(), sv1.size(), enc) &&
                  rfid_cardauth::cmac(key, sv2.data(), sv2.size(), mac);
  if (ok) {
    out.enc = AesKey(enc);
    out.mac = AesKey(mac);
  }
  OPENSSL_cleanse(sv1.data(), sv1.size());
  OPENSSL_cleanse(sv2.data(), sv2.size());
  OPENSSL_cleanse(enc.data(), enc.size());
  OPENSSL_cleanse(mac.data(), mac.size());
  return ok;
}

// ---- The session ------------------------------------------------------------

void Session::start(std::uint8_t keyNo, const Ti& ti, const SessionKeys& keys) {
  active_ = true;
  keyNo_ = keyNo;
  ti_ = ti;
  counter_ = 0;
  keys_ = keys;
}

void Session::resume(std::uint8_t keyNo, const SessionKeys& keys) {
  active_ = true;
  keyNo_ = keyNo;
  keys_ = keys;
}

void Session::drop() {
  active_ = false;
  keyNo_ = 0;
  ti_ = {};
  counter_ = 0;
  keys_ = SessionKeys{};
}

Bytes Session::macInput(std::uint8_t first, std::uint16_t counter, const Bytes& rest) const {
  // Sized once and filled in place: appending to a three-byte vector trips a
  // false -Warray-bounds of GCC 12 at -O3.
  Bytes input(3 + kTiSize + rest.size());
  input[0] = first;
  input[1] = static_cast<std::uint8_t>(counter & 0xFF);
  input[2] = static_cast<std::uint8_t>(counter >> 8);
  std::copy(ti_.begin(), ti_.end(), input.begin() + 3);
  std::copy(rest.begin(), rest.end(), input.begin() + 3 + kTiSize);
  return input;
}

bool Session::mac(const Bytes& input, Mac& out) const {
  return truncatedMac(keys_.mac, input.data(), input.size(), out);
}

bool Session::iv(bool forReply, std::array<std::uint8_t, kAesBlock>& out) const {
  const std::uint16_t counter = forReply ? static_cast<std::uint16_t>(counter_ + 1) : counter_;
  std::array<std::uint8_t, kAesBlock> input = {static_cast<std::uint8_t>(forReply ? 0x5A : 0xA5),
                                               static_cast<std::uint8_t>(forReply ? 0xA5 : 0x5A),
                                               ti_[0],
                                               ti_[1],
                                               ti_[2],
                                               ti_[3],
                                               static_cast<std::uint8_t>(counter & 0xFF),
                                               static_cast<std::uint8_t>(counter >> 8)};
  // One block in CBC with a zero IV is the block's ECB encryption.
  return cbcEncrypt(keys_.enc, kZeroIv.data(), input.data(), input.size(), out.data());
}

bool Session::commandIv(std::array<std::uint8_t, kAesBlock>& out) const {
  return iv(false, out);
}

bool Session::replyIv(std::array<std::uint8_t, kAesBlock>& out) const {
  return iv(true, out);
}

std::optional<Bytes> Session::protectCommand(std::uint8_t command, const Bytes& header,
                                             const Bytes& data, CommMode mode) {
  Bytes field = header;
  if (mode == CommMode::kPlain) {
    field.insert(field.end(), data.begin(), data.end());
    return field;
  }
  if (!active_) return std::nullopt;
  if (mode == CommMode::kFull && !data.empty()) {
    Bytes plain = padded(data);
    Bytes cipher(plain.size());
    std::array<std::uint8_t, kAesBlock> ivc{};
    const bool ok = commandIv(ivc) &&
                    cbcEncrypt(keys_.enc, ivc.data(), plain.data(), plain.size(), cipher.data());
    wipe(plain);
    if (!ok) {
      drop();
      return std::nullopt;
    }
    field.insert(field.end(), cipher.begin(), cipher.end());
  } else {
    field.insert(field.end(), data.begin(), data.end());
  }
  Mac tag{};
  if (!mac(macInput(command, counter_, field), tag)) {
    drop();
    return std::nullopt;
  }
  field.insert(field.end(), tag.begin(), tag.end());
  return field;
}

std::optional<Bytes> Session::openReply(std::uint8_t cardStatus, const Bytes& reply, CommMode mode,
                                        std::optional<std::size_t> expectedLength) {
  if (!active_) {
    if (mode != CommMode::kPlain || cardStatus != status::kOk) return std::nullopt;
    if (expectedLength && reply.size() != *expectedLength) return std::nullopt;
    return reply;
  }
  if (cardStatus != status::kOk || counter_ == kLastCounter) {
    drop();
    return std::nullopt;
  }
  if (mode == CommMode::kPlain) {
    if (expectedLength && reply.size() != *expectedLength) {
      drop();
      return std::nullopt;
    }
    ++counter_;
    return reply;
  }
  if (reply.size() < kMacSize) {
    drop();
    return std::nullopt;
  }
  const Bytes body(reply.begin(), reply.end() - static_cast<std::ptrdiff_t>(kMacSize));
  Mac expected{};
  Bytes rest = body;
  const bool macOk =
      mac(macInput(cardStatus, static_cast<std::uint16_t>(counter_ + 1), rest), expected) &&
      CRYPTO_memcmp(expected.data(), reply.data() + body.size(), kMacSize) == 0;
  if (!macOk) {
    drop();
    return std::nullopt;
  }
  Bytes plain = body;
  if (mode == CommMode::kFull && !body.empty()) {
    std::array<std::uint8_t, kAesBlock> ivr{};
    auto opened =
        replyIv(ivr) ? decryptPadded(keys_.enc, ivr, body.data(), body.size()) : std::nullopt;
    if (!opened) {
      drop();
      return std::nullopt;
    }
    plain = std::move(*opened);
  }
  if (expectedLength && plain.size() != *expectedLength) {
    wipe(plain);
    drop();
    return std::nullopt;
  }
  ++counter_;
  return plain;
}

std::optional<Bytes> Session::openCommand(std::uint8_t command, const Bytes& field,
                                          std::size_t headerLength, CommMode mode) {
  if (mode == CommMode::kPlain || !active_) {
    if (mode != CommMode::kPlain) return std::nullopt;
    return field;
  }
  if (field.size() < headerLength + kMacSize) {
    drop();
    return std::nullopt;
  }
  const Bytes body(field.begin(), field.end() - static_cast<std::ptrdiff_t>(kMacSize));
  Mac expected{};
  if (!mac(macInput(command, counter_, body), expected) ||
      CRYPTO_memcmp(expected.data(), field.data() + body.size(), kMacSize) != 0) {
    drop();
    return std::nullopt;
  }
  if (mode == CommMode::kMac || body.size() == headerLength) return body;
  std::array<std::uint8_t, kAesBlock> ivc{};
  auto plain = commandIv(ivc) ? decryptPadded(keys_.enc, ivc, body.data() + headerLength,
                                              body.size() - headerLength)
                              : std::nullopt;
  if (!plain) {
    drop();
    return std::nullopt;
  }
  Bytes out(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(headerLength));
  out.insert(out.end(), plain->begin(), plain->end());
  wipe(*plain);
  return out;
}

std::optional<Bytes> Session::protectReply(std::uint8_t cardStatus, const Bytes& data,
                                           CommMode mode) {
  if (!active_) return data;
  if (cardStatus != status::kOk || counter_ == kLastCounter) {
    // An error ends the authenticated state; the reply carries no MAC.
    drop();
    return data;
  }
  Bytes out;
  if (mode == CommMode::kFull && !data.empty()) {
    Bytes plain = padded(data);
    out.resize(plain.size());
    std::array<std::uint8_t, kAesBlock> ivr{};
    const bool ok =
        replyIv(ivr) && cbcEncrypt(keys_.enc, ivr.data(), plain.data(), plain.size(), out.data());
    wipe(plain);
    if (!ok) {
      drop();
      return std::nullopt;
    }
  } else {
    out = data;
  }
  if (mode != CommMode::kPlain) {
    Mac tag{};
    if (!mac(macInput(cardStatus, static_cast<std::uint16_t>(counter_ + 1), out), tag)) {
      drop();
      return std::nullopt;
    }
    out.insert(out.end(), tag.begin(), tag.end());
  }
  ++counter_;
  return out;
}

// ---- Authentication ---------------------------------------------------------

HostAuthentication::HostAuthentication(bool first, std::uint8_t keyNo, const AesKey& key,
                                       const Random& rndA)
    : first_(first), keyNo_(keyNo), key_(key), rndA_(rndA) {}

Bytes HostAuthentication::firstCommand() const {
  return first_ ? wrap(cmd::kAuthenticateFirst, {keyNo_, 0x00})
                : wrap(cmd::kAuthenticateNonFirst, {keyNo_});
}

std::optional<Bytes> HostAuthentication::secondCommand(const CardReply& reply) {
  if (reply.status != status::kMore || reply.data.size() != kRandomSize) return std::nullopt;
  if (!cbcDecrypt(key_, kZeroIv.data(), reply.data.data(), kRandomSize, rndB_.data())) {
    return std::nullopt;
  }
  haveRndB_ = true;
  Scratch<2 * kRandomSize> plain;
  const Random rotated = rotateLeft(rndB_);
  std::copy_n(rndA_.data(), kRandomSize, plain.data());
  std::copy_n(rotated.data(), kRandomSize, plain.data() + kRandomSize);
  Bytes cipher(2 * kRandomSize);
  if (!cbcEncrypt(key_, kZeroIv.data(), plain.data(), plain.size(), cipher.data())) {
    return std::nullopt;
  }
  return wrap(cmd::kMore, cipher);
}

bool HostAuthentication::finish(const CardReply& reply, Session& session) {
  const std::size_t size = first_ ? kFirstAnswerSize : kRandomSize;
  Scratch<kFirstAnswerSize> plain;
  SessionKeys keys;
  const Random expected = rotateLeft(rndA_);
  const bool proven =
      haveRndB_ && reply.status == status::kOk && reply.data.size() == size &&
      cbcDecrypt(key_, kZeroIv.data(), reply.data.data(), size, plain.data()) &&
      CRYPTO_memcmp(plain.data() + (first_ ? kTiSize : 0), expected.data(), kRandomSize) == 0 &&
      (first_ || session.active()) && deriveSessionKeys(key_, rndA_, rndB_, keys);
  if (!proven) {
    session.drop();
    return false;
  }
  if (first_) {
    Ti ti{};
    std::copy_n(plain.data(), kTiSize, ti.begin());
    session.start(keyNo_, ti, keys);
  } else {
    session.resume(keyNo_, keys);
  }
  return true;
}

CardAuthentication::CardAuthentication(bool first, std::uint8_t keyNo, const AesKey& key,
                                       const Random& rndB)
    : first_(first), keyNo_(keyNo), key_(key), rndB_(rndB) {}

std::optional<Bytes> CardAuthentication::challenge() const {
  Bytes cipher(kRandomSize);
  if (!cbcEncrypt(key_, kZeroIv.data(), rndB_.data(), kRandomSize, cipher.data())) {
    return std::nullopt;
  }
  return cipher;
}

std::optional<Bytes> CardAuthentication::answer(const Bytes& hostData, const Ti& ti,
                                                Session& session) {
  Scratch<2 * kRandomSize> plain;
  const Random expected = rotateLeft(rndB_);
  Random rndA;
  SessionKeys keys;
  const bool proven =
      hostData.size() == 2 * kRandomSize && (first_ || session.active()) &&
      cbcDecrypt(key_, kZeroIv.data(), hostData.data(), hostData.size(), plain.data()) &&
      CRYPTO_memcmp(plain.data() + kRandomSize, expected.data(), kRandomSize) == 0;
  if (!proven) {
    session.drop();
    return std::nullopt;
  }
  std::copy_n(plain.data(), kRandomSize, rndA.data());
  const Random rotatedA = rotateLeft(rndA);
  Scratch<kFirstAnswerSize> answerPlain;
  std::size_t size = kRandomSize;
  if (first_) {
    std::copy(ti.begin(), ti.end(), answerPlain.data());
    std::copy_n(rotatedA.data(), kRandomSize, answerPlain.data() + kTiSize);
    size = kFirstAnswerSize;  // PDcap2 and PCDcap2 stay zero
  } else {
    std::copy_n(rotatedA.data(), kRandomSize, answerPlain.data());
  }
  Bytes cipher(size);
  if (!cbcEncrypt(key_, kZeroIv.data(), answerPlain.data(), size, cipher.data()) ||
      !deriveSessionKeys(key_, rndA, rndB_, keys)) {
    session.drop();
    return std::nullopt;
  }
  if (first_) {
    session.start(keyNo_, ti, keys);
  } else {
    session.resume(keyNo_, keys);
  }
  return cipher;
}

// ---- ChangeKey ----------------------------------------------------------------

ChangeKeyData changeKeyData(bool authenticatedKey, const AesKey& newKey, const AesKey& oldKey,
                            std::uint8_t version) {
  ChangeKeyData out;
  std::uint8_t* bytes = out.bytes.data();
  if (authenticatedKey) {
    std::copy_n(newKey.data(), AesKey::size(), bytes);
    bytes[AesKey::size()] = version;
    out.size = AesKey::size() + 1;
    return out;
  }
  for (std::size_t i = 0; i < AesKey::size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(newKey.data()[i] ^ oldKey.data()[i]);
  }
  bytes[AesKey::size()] = version;
  const std::uint32_t crc = crc32nk(newKey.data(), AesKey::size());
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[AesKey::size() + 1 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  out.size = AesKey::size() + 5;
  return out;
}

}  // namespace rfid_desfire
