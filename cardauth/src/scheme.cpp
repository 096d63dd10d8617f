#include "rfid_cardauth/scheme.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "rfid_names/name_table.h"

namespace rfid_cardauth {
namespace {

constexpr std::size_t kAesBlock = 16;
constexpr std::size_t kDiversificationData = 2 * kAesBlock;
constexpr std::uint8_t kDiversificationConstant = 0x01;
constexpr std::uint8_t kPaddingStart = 0x80;
// The doubling in GF(2^128) of CMAC's subkeys folds a carried-out bit back
// in with this constant (RFC 4493, R_128).
constexpr std::uint8_t kSubkeyConstant = 0x87;
constexpr std::array<std::uint8_t, 4> kMacPrefix = {'E', 'V', 'T', 'K'};
constexpr std::size_t kMacInputMax = kMacPrefix.size() + 1 + 7 + 1 + 8;
constexpr std::size_t kLayoutByte = 0;
constexpr std::size_t kKeyIdByte = 1;
constexpr std::size_t kTokenIdByte = 2;
constexpr std::size_t kMacByte = 8;

// A buffer that may hold key material: wiped when it goes.
template <std::size_t N>
using Scratch = Secret<N>;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacContextFree {
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};

// AES-128-CBC with a zero IV over whole blocks, keeping the last cipher
// block: the CBC-MAC, and for a single zero block the plain AES of it.
bool cbcMac(const AesKey& key, const std::uint8_t* data, std::size_t size,
            Scratch<kAesBlock>& out) {
  const std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  const std::array<std::uint8_t, kAesBlock> zeroIv{};
  if (!context || size == 0 || size % kAesBlock != 0 ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), zeroIv.data()) !=
          1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
    return false;
  }
  Scratch<kAesBlock> cipher;
  for (std::size_t at = 0; at < size; at += kAesBlock) {
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), cipher.data(), &written, data + at,
                          static_cast<int>(kAesBlock)) != 1 ||
        written != static_cast<int>(kAesBlock)) {
      return false;
    }
  }
  out = cipher;
  return true;
}

// CMAC's subkey step: shift left one bit, folding the carry back in.
void doubleBlock(Scratch<kAesBlock>& block) {
  const bool carry = (block.data()[0] & 0x80) != 0;
  for (std::size_t i = 0; i < kAesBlock; ++i) {
    const std::uint8_t next = i + 1 < kAesBlock ? block.data()[i + 1] : 0;
    block.data()[i] = static_cast<std::uint8_t>((block.data()[i] << 1) | (next >> 7));
  }
  if (carry) block.data()[kAesBlock - 1] ^= kSubkeyConstant;
}

std::size_t macInput(const Uid& uid, const Block& block,
                     std::array<std::uint8_t, kMacInputMax>& out) {
  std::size_t at = 0;
  for (const std::uint8_t byte : kMacPrefix) out[at++] = byte;
  out[at++] = static_cast<std::uint8_t>(uid.size());
  for (const std::uint8_t byte : uid) out[at++] = byte;
  out[at++] = static_cast<std::uint8_t>(kTokenBlock);
  for (std::size_t i = 0; i < kMacByte; ++i) out[at++] = block[i];
  return at;
}

// The MAC of bytes 0 to 7 of `block` on the card with `uid`.
bool blockMac(const AesKey& macKey, const Uid& uid, const Block& block, Scratch<kMacSize>& out) {
  std::array<std::uint8_t, kMacInputMax> input{};
  const std::size_t size = macInput(uid, block, input);
  Mac128 full{};
  if (!cmac(macKey, input.data(), size, full)) return false;
  std::copy_n(full.begin(), kMacSize, out.data());
  return true;
}

}  // namespace

bool cmac(const AesKey& key, const std::uint8_t* message, std::size_t size, Mac128& out) {
  const std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr));
  if (!mac) return false;
  const std::unique_ptr<EVP_MAC_CTX, MacContextFree> context(EVP_MAC_CTX_new(mac.get()));
  char cipherName[] = "AES-128-CBC";
  const OSSL_PARAM parameters[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipherName, 0),
      OSSL_PARAM_construct_end()};
  std::size_t length = 0;
  return context && EVP_MAC_init(context.get(), key.data(), key.size(), parameters) == 1 &&
         EVP_MAC_update(context.get(), message, size) == 1 &&
         EVP_MAC_final(context.get(), out.data(), &length, out.size()) == 1 && length == out.size();
}

// The diversification data D = 0x01 | M is padded with 80 00 .. to two
// blocks and its last block XORed with CMAC's K2, or with K1 when D fills
// both blocks; its CBC-MAC is the key. This is not CMAC of D: for a D of 16
// bytes or fewer CMAC pads to one block only, and gives another key.
bool diversify(const AesKey& master, const std::uint8_t* input, std::size_t size, AesKey& out) {
  if (input == nullptr || size == 0 || size > kMaxDiversificationInput) return false;
  Scratch<kAesBlock> subkey;
  const Scratch<kAesBlock> zero;
  if (!cbcMac(master, zero.data(), kAesBlock, subkey)) return false;
  doubleBlock(subkey);  // K1
  const std::size_t length = 1 + size;
  if (length < kDiversificationData) doubleBlock(subkey);  // K2

  Scratch<kDiversificationData> data;
  data.data()[0] = kDiversificationConstant;
  std::copy_n(input, size, data.data() + 1);
  if (length < kDiversificationData) data.data()[length] = kPaddingStart;
  for (std::size_t i = 0; i < kAesBlock; ++i) data.data()[kAesBlock + i] ^= subkey.data()[i];

  Scratch<kAesBlock> key;
  if (!cbcMac(master, data.data(), kDiversificationData, key)) return false;
  std::copy_n(key.data(), kAesKeySize, out.data());
  return true;
}

bool isValidSystemId(const std::string& systemId) {
  return systemId.size() >= kMinSystemIdLength && systemId.size() <= kMaxSystemIdLength &&
         std::all_of(systemId.begin(), systemId.end(),
                     [](char c) { return c >= 0x20 && c <= 0x7E; });
}

bool isValidUid(const Uid& uid) {
  return uid.size() == 4 || uid.size() == 7;
}

std::optional<SectorKey> sectorKey(const AesKey& master, KeyKind kind, const Uid& uid, int sector,
                                   const std::string& systemId) {
  if (!isValidUid(uid) || sector < 0 || sector >= kSectorCount || !isValidSystemId(systemId)) {
    return std::nullopt;
  }
  std::array<std::uint8_t, kMaxDiversificationInput> input{};
  std::size_t size = 0;
  for (const std::uint8_t byte : uid) input[size++] = byte;
  input[size++] = static_cast<std::uint8_t>(sector);
  input[size++] = static_cast<std::uint8_t>(kind);
  for (const char c : systemId) input[size++] = static_cast<std::uint8_t>(c);
  AesKey diversified;
  if (!diversify(master, input.data(), size, diversified)) return std::nullopt;
  SectorKey key;
  std::copy_n(diversified.data(), kSectorKeySize, key.data());
  return key;
}

Block fleetTrailer(const SectorKey& keyA, const SectorKey& keyB) {
  Block trailer{};
  std::copy_n(keyA.data(), kSectorKeySize, trailer.begin());
  std::copy(kFleetAccess.begin(), kFleetAccess.end(), trailer.begin() + kSectorKeySize);
  std::copy_n(keyB.data(), kSectorKeySize,
              trailer.begin() + static_cast<std::ptrdiff_t>(kSectorKeySize + kFleetAccess.size()));
  return trailer;
}

std::optional<Block> encodeTokenBlock(const AesKey& macKey, std::uint8_t keyId,
                                      const TokenId& tokenId, const Uid& uid) {
  if (keyId == 0 || !isValidUid(uid)) return std::nullopt;
  Block block{};
  block[kLayoutByte] = kLayoutVersion;
  block[kKeyIdByte] = keyId;
  std::copy(tokenId.begin(), tokenId.end(), block.begin() + kTokenIdByte);
  Scratch<kMacSize> mac;
  if (!blockMac(macKey, uid, block, mac)) return std::nullopt;
  std::copy_n(mac.data(), kMacSize, block.begin() + kMacByte);
  return block;
}

// In the order of Verdict's enumerators.
constexpr const char* kVerdictNames[] = {"valid", "layout", "key-id", "mac"};
static_assert(std::size(kVerdictNames) == static_cast<std::size_t>(Verdict::kMac) + 1);

const char* verdictName(Verdict verdict) {
  return rfid_names::nameOf(kVerdictNames, verdict, "layout");
}

Verification verifyTokenBlock(const Block& block, const Uid& uid, const MacKeys& macKeys) {
  Verification result;
  if (block[kLayoutByte] != kLayoutVersion || !isValidUid(uid)) return result;
  result.keyId = block[kKeyIdByte];
  std::copy_n(block.begin() + kTokenIdByte, kTokenIdSize, result.tokenId.begin());
  const auto macKey = macKeys.find(result.keyId);
  if (result.keyId == 0 || macKey == macKeys.end()) {
    result.verdict = Verdict::kKeyId;
    return result;
  }
  Scratch<kMacSize> expected;
  const bool computed = blockMac(macKey->second, uid, block, expected);
  result.verdict =
      computed && CRYPTO_memcmp(expected.data(), block.data() + kMacByte, kMacSize) == 0
          ? Verdict::kValid
          : Verdict::kMac;
  return result;
}

}  // namespace rfid_cardauth
