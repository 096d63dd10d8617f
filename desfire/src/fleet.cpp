#include "rfid_desfire/fleet.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <iterator>

#include "rfid_names/name_table.h"

namespace rfid_desfire {
namespace {

constexpr std::size_t kTokenIdAt = 1;

// ReadData of the whole token file: file, offset 0, length 32 (3 bytes each,
// LSB first).
Bytes readHeader() {
  return {kTokenFileNo, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(kTokenFileSize), 0x00, 0x00};
}

FleetRead verdict(ReadVerdict value) {
  return FleetRead{value, {}};
}

// A reply as the card sent it, or why there is none.
struct Step {
  std::optional<CardReply> reply;
  bool lost = false;
};

Step exchange(const Transceive& transceive, const Bytes& apdu) {
  const std::optional<Bytes> raw = transceive(apdu);
  if (!raw) return Step{std::nullopt, true};
  return Step{unwrap(raw->data(), raw->size()), false};
}

}  // namespace

Aid aidBytes(std::uint32_t aid) {
  return {static_cast<std::uint8_t>(aid & 0xFF), static_cast<std::uint8_t>((aid >> 8) & 0xFF),
          static_cast<std::uint8_t>((aid >> 16) & 0xFF)};
}

std::optional<AesKey> applicationKey(const AesKey& fleetKey, std::uint8_t keyNo,
                                     const Bytes& serial, std::uint32_t aid,
                                     const std::string& systemId) {
  if (keyNo > kReadKeyNo || serial.size() != kSerialSize || !isValidAid(aid) ||
      !rfid_cardauth::isValidSystemId(systemId)) {
    return std::nullopt;
  }
  Bytes input = serial;
  const Aid sent = aidBytes(aid);
  input.insert(input.end(), sent.begin(), sent.end());
  input.push_back(keyNo);
  input.insert(input.end(), systemId.begin(), systemId.end());
  AesKey key;
  if (!rfid_cardauth::diversify(fleetKey, input.data(), input.size(), key)) return std::nullopt;
  return key;
}

TokenFile tokenFile(const TokenId& tokenId) {
  TokenFile file{};
  file[0] = kTokenLayoutVersion;
  std::copy(tokenId.begin(), tokenId.end(), file.begin() + kTokenIdAt);
  return file;
}

// In the order of ReadVerdict's enumerators.
constexpr const char* kReadVerdictNames[] = {
    "valid", "not-desfire", "random-id", "no-app", "version", "auth", "mac", "layout", "lost"};
static_assert(std::size(kReadVerdictNames) == static_cast<std::size_t>(ReadVerdict::kLost) + 1);

const char* readVerdictName(ReadVerdict verdict) {
  return rfid_names::nameOf(kReadVerdictNames, verdict, "?");
}

bool systemRandom(Random& out) {
  return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

FleetRead readFleetCard(const ReaderKeys& keys, const Bytes& serial,
                        std::optional<std::uint8_t> sak, const Transceive& transceive,
                        const RandomSource& random) {
  const bool iso14443_4 = !sak || (*sak & kSakIso14443_4) != 0;
  if (serial.size() == 4 && serial[0] == kRandomIdFirstByte && iso14443_4) {
    return verdict(ReadVerdict::kRandomId);
  }
  if (serial.size() != kSerialSize || !iso14443_4) return verdict(ReadVerdict::kNotDesfire);

  const Aid aid = aidBytes(keys.aid);
  const Step select =
      exchange(transceive, wrap(cmd::kSelectApplication, Bytes(aid.begin(), aid.end())));
  if (select.lost) return verdict(sak ? ReadVerdict::kLost : ReadVerdict::kNotDesfire);
  if (!select.reply) return verdict(ReadVerdict::kNotDesfire);  // not a DESFire answer
  if (select.reply->status != status::kOk) return verdict(ReadVerdict::kNoApp);

  const auto readKey = applicationKey(keys.readKey, kReadKeyNo, serial, keys.aid, keys.systemId);
  Random rndA;
  if (!readKey || !random(rndA)) return verdict(ReadVerdict::kAuth);
  HostAuthentication authentication(true, kReadKeyNo, *readKey, rndA);
  const Step challenge = exchange(transceive, authentication.firstCommand());
  if (challenge.lost) return verdict(ReadVerdict::kLost);
  if (challenge.reply && challenge.reply->status == status::kIllegalCommand) {
    return verdict(ReadVerdict::kVersion);
  }
  const auto second =
      challenge.reply ? authentication.secondCommand(*challenge.reply) : std::nullopt;
  if (!second) return verdict(ReadVerdict::kAuth);
  const Step answer = exchange(transceive, *second);
  if (answer.lost) return verdict(ReadVerdict::kLost);
  Session session;
  if (!answer.reply || !authentication.finish(*answer.reply, session)) {
    return verdict(ReadVerdict::kAuth);
  }

  const auto field = session.protectCommand(cmd::kReadData, readHeader(), {}, CommMode::kFull);
  if (!field) return verdict(ReadVerdict::kAuth);
  const Step read = exchange(transceive, wrap(cmd::kReadData, *field));
  if (read.lost) return verdict(ReadVerdict::kLost);
  if (!read.reply) return verdict(ReadVerdict::kMac);
  switch (read.reply->status) {
    case status::kOk:
      break;
    case status::kIntegrityError:  // the card found our command's MAC wrong
      return verdict(ReadVerdict::kMac);
    case status::kAuthenticationError:
    case status::kPermissionDenied:
      return verdict(ReadVerdict::kAuth);
    default:
      return verdict(ReadVerdict::kLayout);
  }
  auto plain =
      session.openReply(read.reply->status, read.reply->data, CommMode::kFull, kTokenFileSize);
  if (!plain) return verdict(ReadVerdict::kMac);
  FleetRead result =
      verdict((*plain)[0] == kTokenLayoutVersion ? ReadVerdict::kValid : ReadVerdict::kLayout);
  if (result.verdict == ReadVerdict::kValid) {
    std::copy_n(plain->begin() + kTokenIdAt, result.tokenId.size(), result.tokenId.begin());
  }
  OPENSSL_cleanse(plain->data(), plain->size());
  return result;
}

}  // namespace rfid_desfire
