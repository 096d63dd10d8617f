#include "rfid_desfire/provision.h"

#include <cstdio>

#include "rfid_hex/hex.h"

namespace rfid_desfire {
namespace {

constexpr std::uint8_t kAesKeyCount = 0x80 | kApplicationKeyCount;
constexpr std::size_t kAidSize = 3;
constexpr std::uint8_t kKeyCountMask = 0x0F;
constexpr std::size_t kFileSettingsSize = 7;  // type, mode, rights (2), size (3)
constexpr std::uint8_t kStandardDataFile = 0x00;
constexpr std::uint8_t kCommModeMask = 0x03;
constexpr std::uint8_t kUnusedCommMode = 0x02;
// What one reply carries in Full mode with its padding and MAC; longer
// files would need chained replies, which the bench does not read.
constexpr std::size_t kLargestFileRead = 200;

std::string aidText(std::uint32_t aid) {
  char text[8];
  std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(aid & 0xFFFFFF));
  return text;
}

std::string byteText(std::uint8_t value) {
  return rfid_hex::toHex(&value, 1);
}

// One card and one session, as the bench drives it.
class Link {
 public:
  Link(const Transceive& transceive, const RandomSource& random)
      : transceive_(transceive), random_(random) {}

  // A plain command; empty when the card did not answer with 91 xx.
  std::optional<CardReply> plain(std::uint8_t command, const Bytes& data = {}) {
    session_.drop();
    return send(wrap(command, data));
  }

  bool select(std::uint32_t aid) {
    const Aid sent = aidBytes(aid);
    const auto reply = plain(cmd::kSelectApplication, Bytes(sent.begin(), sent.end()));
    lastStatus_ = reply ? reply->status : -1;
    return reply && reply->status == status::kOk;
  }

  bool authenticate(std::uint8_t keyNo, const AesKey& key) {
    Random rndA;
    session_.drop();
    if (!random_(rndA)) return false;
    HostAuthentication host(true, keyNo, key, rndA);
    const auto challenge = send(host.firstCommand());
    const auto second = challenge ? host.secondCommand(*challenge) : std::nullopt;
    if (!second) return false;
    const auto answer = send(*second);
    return answer && host.finish(*answer, session_);
  }

  // A command in `mode` under the session; the reply's data, checked.
  std::optional<Bytes> secured(std::uint8_t command, const Bytes& header, const Bytes& data,
                               CommMode mode,
                               std::optional<std::size_t> expectedLength = std::nullopt) {
    lastStatus_ = -1;
    const auto field = session_.protectCommand(command, header, data, mode);
    if (!field) return std::nullopt;
    const auto reply = send(wrap(command, *field));
    if (!reply) {
      session_.drop();
      return std::nullopt;
    }
    lastStatus_ = reply->status;
    return session_.openReply(reply->status, reply->data, mode, expectedLength);
  }

  // ChangeKey of the key the session authenticated: the card answers 91 00
  // without a MAC and the session ends.
  bool changeOwnKey(const AesKey& newKey) {
    const ChangeKeyData change = changeKeyData(true, newKey, newKey, kFleetKeyVersion);
    Bytes plainData(change.bytes.data(), change.bytes.data() + change.size);
    const auto field =
        session_.protectCommand(cmd::kChangeKey, {session_.keyNo()}, plainData, CommMode::kFull);
    OPENSSL_cleanse(plainData.data(), plainData.size());
    session_.drop();
    if (!field) return false;
    const auto reply = send(wrap(cmd::kChangeKey, *field));
    lastStatus_ = reply ? reply->status : -1;
    return reply && reply->status == status::kOk;
  }

  bool changeOtherKey(std::uint8_t keyNo, const AesKey& newKey, const AesKey& oldKey) {
    const ChangeKeyData change = changeKeyData(false, newKey, oldKey, kFleetKeyVersion);
    Bytes plainData(change.bytes.data(), change.bytes.data() + change.size);
    const auto reply = secured(cmd::kChangeKey, {keyNo}, plainData, CommMode::kFull);
    OPENSSL_cleanse(plainData.data(), plainData.size());
    return reply.has_value();
  }

  int lastStatus() const { return lastStatus_; }
  // Whether an exchange went unanswered (the card left, the reader failed).
  bool lost() const { return lost_; }

 private:
  std::optional<CardReply> send(const Bytes& apdu) {
    const auto raw = transceive_(apdu);
    if (!raw) {
      lost_ = true;
      return std::nullopt;
    }
    return unwrap(raw->data(), raw->size());
  }

  const Transceive& transceive_;
  const RandomSource& random_;
  Session session_;
  int lastStatus_ = -1;
  bool lost_ = false;
};

struct DerivedKeys {
  AesKey key0;
  AesKey key1;
};

std::optional<DerivedKeys> derive(const BenchKeys& keys, const Bytes& serial) {
  const auto key0 =
      applicationKey(keys.masterKey, kMasterKeyNo, serial, keys.reader.aid, keys.reader.systemId);
  const auto key1 = applicationKey(keys.reader.readKey, kReadKeyNo, serial, keys.reader.aid,
                                   keys.reader.systemId);
  if (!key0 || !key1) return std::nullopt;
  return DerivedKeys{*key0, *key1};
}

// The keys of the card with `serial`, or the fault of a bench run on it.
std::optional<DerivedKeys> deriveForBench(const BenchKeys& keys, const Bytes& serial,
                                          BenchResult& result) {
  auto derived = derive(keys, serial);
  if (!derived) {
    result.fault = "serial number " + rfid_hex::toHex(serial) +
                   " is not a 7-byte DESFire serial number the scheme derives keys from";
  }
  return derived;
}

// Where a card stands on the way to a fleet card.
enum class Stage { kNoApplication, kDefaultMasterKey, kFleetMasterKey };

struct Probe {
  std::optional<Stage> stage;
  std::string fault;
  CardInfo info;
};

Probe probe(const BenchKeys& keys, const DerivedKeys& derived, Link& link,
            const Transceive& transceive) {
  Probe result;
  result.info = readCardInfo(transceive);
  if (!result.info.answered) {
    result.fault = "no DESFire card answered GetVersion";
    return result;
  }
  if (result.info.version < 0x12) {
    result.fault = "an EV1 card (version " + byteText(result.info.version) +
                   "): fleet cards need DESFire EV2 or later";
    return result;
  }
  const std::string aid = aidText(keys.reader.aid);
  if (!link.select(keys.reader.aid)) {
    if (link.lastStatus() != status::kApplicationNotFound) {
      result.fault = "the card refused to select application " + aid;
      return result;
    }
    const std::uint8_t settings = result.info.piccKeySettings.value_or(0);
    if ((settings & key_settings::kFreeCreateDelete) == 0) {
      result.fault = "the card's PICC key settings " + byteText(settings) +
                     " forbid creating an application without the PICC key; nothing was written";
      return result;
    }
    result.stage = Stage::kNoApplication;
    return result;
  }
  if (link.authenticate(kMasterKeyNo, AesKey{})) {
    result.stage = Stage::kDefaultMasterKey;
  } else if (link.select(keys.reader.aid) && link.authenticate(kMasterKeyNo, derived.key0)) {
    result.stage = Stage::kFleetMasterKey;
  } else {
    result.fault = "application " + aid +
                   " is there under other keys: a card of another fleet, or of another K_DM";
  }
  return result;
}

// What planning and provisioning start from: the card's keys and where it
// stands; empty, with the fault in `result`, for a card they cannot take.
struct BenchStart {
  DerivedKeys derived;
  Stage stage;
};

std::optional<BenchStart> benchStart(const BenchKeys& keys, const Bytes& serial, Link& link,
                                     const Transceive& transceive, BenchResult& result) {
  const auto derived = deriveForBench(keys, serial, result);
  if (!derived) return std::nullopt;
  const Probe found = probe(keys, *derived, link, transceive);
  if (!found.stage) {
    result.fault = found.fault;
    return std::nullopt;
  }
  return BenchStart{*derived, *found.stage};
}

}  // namespace

CardInfo readCardInfo(const Transceive& transceive) {
  CardInfo info;
  Link link(transceive, systemRandom);
  if (!link.select(0)) return info;
  auto part = link.plain(cmd::kGetVersion);
  if (!part || part->status != status::kMore || part->data.size() < 4) return info;
  info.answered = true;
  info.version = part->data[3];
  for (int more = 0; more < 2 && part && part->status == status::kMore; ++more) {
    part = link.plain(cmd::kMore);
  }
  if (const auto settings = link.plain(cmd::kGetKeySettings);
      settings && settings->status == status::kOk && !settings->data.empty()) {
    info.piccKeySettings = settings->data[0];
  }
  if (info.piccKeySettings && (*info.piccKeySettings & key_settings::kFreeListing) != 0) {
    const auto ids = link.plain(cmd::kGetApplicationIds);
    if (ids && ids->status == status::kOk && ids->data.size() % kAidSize == 0) {
      std::vector<std::uint32_t> aids;
      for (std::size_t at = 0; at < ids->data.size(); at += kAidSize) {
        aids.push_back(static_cast<std::uint32_t>(ids->data[at]) |
                       static_cast<std::uint32_t>(ids->data[at + 1]) << 8 |
                       static_cast<std::uint32_t>(ids->data[at + 2]) << 16);
      }
      info.applications = aids;
    }
  }
  return info;
}

namespace {

// GetKeySettings of the selected application, plain or in the session.
void readKeySettings(Link& link, bool secured, ApplicationRead& read) {
  std::optional<Bytes> data;
  if (secured) {
    data = link.secured(cmd::kGetKeySettings, {}, {}, CommMode::kMac);
  } else if (const auto reply = link.plain(cmd::kGetKeySettings);
             reply && reply->status == status::kOk) {
    data = reply->data;
  }
  if (!data || data->size() != 2) return;
  read.keySettings = (*data)[0];
  read.keyCount = static_cast<std::uint8_t>((*data)[1] & kKeyCountMask);
}

// File 1's settings and content in the session of key 1: the settings say
// the mode the content is read in.
std::optional<FileRead> readTokenFile(Link& link) {
  const auto settings = link.secured(cmd::kGetFileSettings, {}, {kTokenFileNo}, CommMode::kMac);
  if (!settings || settings->size() != kFileSettingsSize || (*settings)[0] != kStandardDataFile) {
    return std::nullopt;
  }
  const std::uint8_t mode = (*settings)[1] & kCommModeMask;
  if (mode == kUnusedCommMode) return std::nullopt;
  FileRead file;
  file.mode = static_cast<CommMode>(mode);
  file.rights = static_cast<std::uint16_t>((*settings)[3] << 8 | (*settings)[2]);
  const std::size_t size = static_cast<std::size_t>((*settings)[4]) |
                           static_cast<std::size_t>((*settings)[5]) << 8 |
                           static_cast<std::size_t>((*settings)[6]) << 16;
  if (size > kLargestFileRead) return std::nullopt;
  const Bytes header = {kTokenFileNo,
                        0x00,
                        0x00,
                        0x00,
                        static_cast<std::uint8_t>(size),
                        static_cast<std::uint8_t>(size >> 8),
                        0x00};
  auto data = link.secured(cmd::kReadData, header, {}, file.mode, size);
  if (!data) return std::nullopt;
  file.data = std::move(*data);
  return file;
}

void readWithKeys(Link& link, std::uint32_t aid, const DerivedKeys& derived, bool withMasterKey,
                  ApplicationRead& read) {
  if (withMasterKey && link.select(aid) && link.authenticate(kMasterKeyNo, derived.key0)) {
    read.masterKeyProven = true;
    if (!read.keySettings) readKeySettings(link, true, read);
  }
  if (!link.select(aid) || !link.authenticate(kReadKeyNo, derived.key1)) return;
  read.readKeyProven = true;
  if (!read.keySettings) {
    readKeySettings(link, true, read);
    // A refusal ended the session: key 1 again for the file.
    if (!read.keySettings && !(link.select(aid) && link.authenticate(kReadKeyNo, derived.key1))) {
      return;
    }
  }
  read.tokenFile = readTokenFile(link);
}

}  // namespace

ApplicationRead readApplication(std::uint32_t aid, const Transceive& transceive) {
  ApplicationRead read;
  Link link(transceive, systemRandom);
  read.present = link.select(aid);
  if (read.present) readKeySettings(link, false, read);
  read.lost = link.lost();
  return read;
}

ApplicationRead readFleetApplication(const BenchKeys& keys, bool withMasterKey, const Bytes& serial,
                                     const Transceive& transceive, const RandomSource& random) {
  ApplicationRead read = readApplication(keys.reader.aid, transceive);
  const auto derived = derive(keys, serial);
  if (!read.present || !derived) return read;
  Link link(transceive, random);
  readWithKeys(link, keys.reader.aid, *derived, withMasterKey, read);
  read.lost = read.lost || link.lost();
  return read;
}

BenchResult planProvisioning(const BenchKeys& keys, const Bytes& serial,
                             const Transceive& transceive, const RandomSource& random) {
  BenchResult result;
  Link link(transceive, random);
  const auto found = benchStart(keys, serial, link, transceive, result);
  if (!found) return result;
  const std::string aid = aidText(keys.reader.aid);
  if (found->stage == Stage::kNoApplication) {
    result.steps.push_back("create application " + aid + " (key settings 09, 2 AES keys)");
  }
  if (found->stage != Stage::kFleetMasterKey) {
    result.steps.push_back("authenticate with the default key 0");
    result.steps.push_back("change key 1 to the card's read key");
  }
  result.steps.push_back("create file 1 (32 bytes, Full mode, read key 1) unless it is there");
  result.steps.push_back("write file 1 with the token id");
  if (found->stage != Stage::kFleetMasterKey) {
    result.steps.push_back("change key 0 to the card's master key");
  }
  result.steps.push_back("read file 1 back as a charger does");
  result.ok = true;
  return result;
}

BenchResult provisionFleetCard(const BenchKeys& keys, const Bytes& serial, const TokenId& tokenId,
                               const Transceive& transceive, const RandomSource& random) {
  BenchResult result;
  Link link(transceive, random);
  const auto found = benchStart(keys, serial, link, transceive, result);
  if (!found) return result;
  const std::uint32_t aidValue = keys.reader.aid;
  const std::string aid = aidText(aidValue);
  const Aid sent = aidBytes(aidValue);
  const auto fail = [&result](const std::string& what) {
    result.fault = what;
    return result;
  };
  const DerivedKeys& derived = found->derived;
  Stage stage = found->stage;
  if (stage == Stage::kNoApplication) {
    const auto created =
        link.plain(cmd::kCreateApplication,
                   {sent[0], sent[1], sent[2], kApplicationKeySettings, kAesKeyCount});
    if (!created || created->status != status::kOk)
      return fail("creating application " + aid + " failed");
    result.steps.push_back("created application " + aid);
    stage = Stage::kDefaultMasterKey;
  }
  const AesKey defaultKey{};
  const AesKey& key0 = stage == Stage::kFleetMasterKey ? derived.key0 : defaultKey;
  const auto authenticate0 = [&] {
    return link.select(aidValue) && link.authenticate(kMasterKeyNo, key0);
  };
  if (stage == Stage::kDefaultMasterKey) {
    // Key 1 may be set by an earlier run that stopped before key 0.
    const bool key1Set = link.select(aidValue) && link.authenticate(kReadKeyNo, derived.key1);
    if (!authenticate0()) return fail("authentication with the default key 0 failed");
    if (key1Set) {
      result.steps.push_back("key 1 was already set");
    } else {
      if (!link.changeOtherKey(kReadKeyNo, derived.key1, defaultKey))
        return fail("changing key 1 failed");
      result.steps.push_back("changed key 1");
    }
  }
  if (!authenticate0()) return fail("authentication with key 0 failed");
  const Bytes fileSettings = {kTokenFileNo,
                              static_cast<std::uint8_t>(CommMode::kFull),
                              kTokenFileRights[0],
                              kTokenFileRights[1],
                              static_cast<std::uint8_t>(kTokenFileSize),
                              0x00,
                              0x00};
  if (link.secured(cmd::kCreateStdDataFile, {}, fileSettings, CommMode::kMac)) {
    result.steps.push_back("created file 1");
  } else if (link.lastStatus() == status::kDuplicate) {
    result.steps.push_back("file 1 was already there");
    if (!authenticate0()) return fail("authentication with key 0 failed");
  } else {
    return fail("creating file 1 failed");
  }
  const TokenFile content = tokenFile(tokenId);
  const Bytes header = {kTokenFileNo, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(kTokenFileSize),
                        0x00,         0x00};
  if (!link.secured(cmd::kWriteData, header, Bytes(content.begin(), content.end()),
                    CommMode::kFull)) {
    return fail("writing file 1 failed");
  }
  result.steps.push_back("wrote file 1 with token id " + rfid_hex::toHex(tokenId));
  if (stage == Stage::kDefaultMasterKey) {
    if (!authenticate0() || !link.changeOwnKey(derived.key0)) return fail("changing key 0 failed");
    result.steps.push_back("changed key 0");
  }
  const FleetRead read = readFleetCard(keys.reader, serial, kSakIso14443_4, transceive, random);
  if (read.verdict != ReadVerdict::kValid || read.tokenId != tokenId) {
    return fail(std::string("reading the card back as a charger does failed: ") +
                readVerdictName(read.verdict));
  }
  result.steps.push_back("read back as a charger reads it: token id " + rfid_hex::toHex(tokenId));
  result.ok = true;
  return result;
}

BenchResult unprovisionFleetCard(const BenchKeys& keys, const Bytes& serial,
                                 const Transceive& transceive, const RandomSource& random) {
  BenchResult result;
  const auto derived = deriveForBench(keys, serial, result);
  if (!derived) return result;
  const CardInfo info = readCardInfo(transceive);
  Link link(transceive, random);
  const std::string aid = aidText(keys.reader.aid);
  if (!link.select(keys.reader.aid)) {
    if (link.lastStatus() == status::kApplicationNotFound) {
      result.steps.push_back("no application " + aid + ": nothing to take off");
      result.ok = true;
      return result;
    }
    result.fault = "the card refused to select application " + aid;
    return result;
  }
  if (!link.authenticate(kMasterKeyNo, derived->key0) &&
      !(link.select(keys.reader.aid) && link.authenticate(kMasterKeyNo, AesKey{}))) {
    result.fault = "application " + aid + " is not under this fleet's keys: left alone";
    return result;
  }
  if ((info.piccKeySettings.value_or(0) & key_settings::kFreeCreateDelete) == 0) {
    result.fault =
        "the card's PICC key settings forbid deleting an application without the "
        "PICC key; nothing was changed";
    return result;
  }
  const Aid sent = aidBytes(keys.reader.aid);
  if (!link.select(0)) {
    result.fault = "selecting the card level failed";
    return result;
  }
  const auto deleted = link.plain(cmd::kDeleteApplication, Bytes(sent.begin(), sent.end()));
  if (!deleted || deleted->status != status::kOk) {
    result.fault = "deleting application " + aid + " failed";
    return result;
  }
  result.steps.push_back("deleted application " + aid);
  result.ok = true;
  return result;
}

}  // namespace rfid_desfire
