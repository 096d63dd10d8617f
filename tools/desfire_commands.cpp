#include "desfire_commands.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "card_commands.h"
#include "rfid_cardauth/fleet_keys.h"
#include "rfid_desfire/module_link.h"
#include "rfid_desfire/provision.h"
#include "rfid_hex/hex.h"
#include "rfid_image/image_file.h"
#include "rfid_sim/desfire_file.h"

namespace rfid_tools {
namespace {

using rfid_desfire::Bytes;
using rfid_desfire::ReadVerdict;

const char* const kCardLeft =
    "the card left the field: hold it on the reader and run the same command again";

std::string aidText(std::uint32_t aid) {
  char text[8];
  std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(aid));
  return text;
}

const char* versionName(std::uint8_t major) {
  switch (major) {
    case 0x01:
      return "EV1";
    case 0x12:
      return "EV2";
    case 0x33:
      return "EV3";
    default:
      return "unknown";
  }
}

// The card in the field: its serial number and SAK.
struct FoundCard {
  Bytes serial;
  std::uint8_t sak = 0;
};

int findCard(int fd, Console& console, FoundCard& card) {
  unsigned char record[RFID_SERIAL_RECORD_SIZE] = {};
  if (!searchTag(fd, RFID_MODULE_ELATEC, record, RFID_STAGE_SEARCH) || record[0] == 0 ||
      record[0] >= RFID_SERIAL_RECORD_SIZE) {
    return console.fail(kExitFailed, kNoCard);
  }
  card.serial.assign(record + 1, record + 1 + record[0]);
  console.json["serial"] = rfid_hex::toHex(card.serial);
  if (!rfidElatecGetSak(fd, &card.sak)) return console.fail(kExitFailed, kCardLeft);
  console.json["sak"] = rfid_hex::toHex(&card.sak, 1);
  return kExitOk;
}

int loadKeys(Console& console, const Options& options, bool bench, rfid_desfire::BenchKeys& keys,
             bool* withMasterKey = nullptr) {
  rfid_cardauth::FleetKeys fleet;
  if (const auto fault = rfid_cardauth::readFleetKeys(options.fleetPath, fleet)) {
    return console.fail(kExitUsage, *fault);
  }
  if (!fleet.desfire) {
    return console.fail(kExitUsage, "fleet key file " + options.fleetPath +
                                        " has no [desfire] table: add aid and read_key");
  }
  if (bench && !fleet.desfire->masterKey) {
    return console.fail(kExitUsage, "fleet key file " + options.fleetPath +
                                        " holds no desfire.master_key: writing DESFire fleet "
                                        "cards needs the provisioning bench's file");
  }
  keys.reader.aid = fleet.desfire->aid;
  keys.reader.readKey = fleet.desfire->readKey;
  keys.reader.systemId = fleet.systemId;
  if (fleet.desfire->masterKey) keys.masterKey = *fleet.desfire->masterKey;
  if (withMasterKey != nullptr) *withMasterKey = fleet.desfire->masterKey.has_value();
  return kExitOk;
}

int info(Console& console, const FoundCard& card, const rfid_desfire::Transceive& transceive) {
  const bool iso14443_4 = (card.sak & rfid_desfire::kSakIso14443_4) != 0;
  if (!iso14443_4) {
    console.json["desfire"] = false;
    console.say("Card %s: SAK %02X, not an ISO 14443-4 card (not DESFire).",
                rfid_hex::toHex(card.serial).c_str(), card.sak);
    return kExitOk;
  }
  const rfid_desfire::CardInfo found = rfid_desfire::readCardInfo(transceive);
  console.json["desfire"] = found.answered;
  if (!found.answered) {
    console.say("Card %s: SAK %02X, ISO 14443-4, but no DESFire answer to GetVersion.",
                rfid_hex::toHex(card.serial).c_str(), card.sak);
    return kExitOk;
  }
  console.json["version"] = versionName(found.version);
  console.json["picc_key_settings"] = found.piccKeySettings
                                          ? JsonObject(rfid_hex::toHex(&*found.piccKeySettings, 1))
                                          : JsonObject(nullptr);
  JsonObject apps = JsonObject::array();
  std::string listed = "not listed freely";
  if (found.applications) {
    listed = found.applications->empty() ? "none" : "";
    for (const std::uint32_t aid : *found.applications) {
      apps.push_back(aidText(aid));
      listed += (listed.empty() ? "" : " ") + aidText(aid);
    }
  }
  console.json["applications"] = found.applications ? apps : JsonObject(nullptr);
  console.say(
      "Card %s: DESFire %s (major version %02X), SAK %02X, PICC key settings %s, "
      "applications: %s.",
      rfid_hex::toHex(card.serial).c_str(), versionName(found.version), found.version, card.sak,
      found.piccKeySettings ? rfid_hex::toHex(&*found.piccKeySettings, 1).c_str() : "?",
      listed.c_str());
  return kExitOk;
}

std::string refusalText(const FoundCard& card, ReadVerdict verdict) {
  const std::string serial = "card " + rfid_hex::toHex(card.serial) + " refused: ";
  switch (verdict) {
    case ReadVerdict::kNotDesfire:
      return serial + "not a DESFire card with a 7-byte serial number (not-desfire)";
    case ReadVerdict::kRandomId:
      return serial +
             "a Random ID card hides its serial number, which the keys derive from (random-id)";
    case ReadVerdict::kNoApp:
      return serial +
             "no fleet application on the card (no-app): not a fleet card, or a copy "
             "of a fleet card's serial number";
    case ReadVerdict::kVersion:
      return serial + "an EV1 card, without AES EV2 authentication (version)";
    case ReadVerdict::kAuth:
      return serial + "the card does not hold this fleet's read key (auth)";
    case ReadVerdict::kMac:
      return serial + "the card's reply failed its MAC or padding check (mac)";
    case ReadVerdict::kLayout:
      return serial + "file 1 holds no fleet token (layout)";
    case ReadVerdict::kLost:
    case ReadVerdict::kValid:
      break;
  }
  return kCardLeft;
}

int verify(Console& console, const FoundCard& card, const rfid_desfire::BenchKeys& keys,
           const rfid_desfire::Transceive& transceive) {
  const rfid_desfire::FleetRead read =
      rfid_desfire::readFleetCard(keys.reader, card.serial, card.sak, transceive);
  if (read.verdict == ReadVerdict::kLost) return console.fail(kExitFailed, kCardLeft);
  const bool valid = read.verdict == ReadVerdict::kValid;
  console.json["valid"] = valid;
  console.json["reason"] =
      valid ? JsonObject(nullptr) : JsonObject(rfid_desfire::readVerdictName(read.verdict));
  console.json["token_id"] =
      valid ? JsonObject(rfid_hex::toHex(read.tokenId)) : JsonObject(nullptr);
  if (!valid) return console.fail(kExitFailed, refusalText(card, read.verdict));
  console.say("Card %s: token %s: valid.", rfid_hex::toHex(card.serial).c_str(),
              rfid_hex::toHex(read.tokenId).c_str());
  return kExitOk;
}

int report(Console& console, const rfid_desfire::BenchResult& result, bool written) {
  JsonObject steps = JsonObject::array();
  for (const std::string& step : result.steps) {
    steps.push_back(step);
    std::string line = written ? step : "would " + step;
    if (!line.empty())
      line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    console.say("%s.", line.c_str());
  }
  console.json["steps"] = steps;
  console.json["written"] = written && result.ok;
  if (!result.ok) return console.fail(kExitFailed, result.fault);
  if (!written) console.say("Nothing written: add --yes.");
  return kExitOk;
}

}  // namespace

int desfireCommand(int fd, Console& console, const Options& options) {
  const std::string& action = options.desfireAction;
  const bool bench = action == "provision" || action == "unprovision";
  rfid_desfire::BenchKeys keys;
  if (action != "info") {
    if (const int code = loadKeys(console, options, bench, keys)) return code;
  }
  FoundCard card;
  if (const int code = findCard(fd, console, card)) return code;
  const rfid_desfire::Transceive transceive = rfid_desfire::moduleTransceive(fd);
  if (action == "info") return info(console, card, transceive);
  if (action == "verify") return verify(console, card, keys, transceive);
  if ((card.sak & rfid_desfire::kSakIso14443_4) == 0) {
    return console.fail(kExitFailed, refusalText(card, ReadVerdict::kNotDesfire));
  }
  if (action == "provision") {
    if (!options.yes) {
      return report(
          console,
          rfid_desfire::planProvisioning(keys, card.serial, transceive, rfid_desfire::systemRandom),
          false);
    }
    return report(console,
                  rfid_desfire::provisionFleetCard(keys, card.serial, options.tokenId, transceive,
                                                   rfid_desfire::systemRandom),
                  true);
  }
  if (!options.yes) {
    rfid_desfire::BenchResult plan;
    plan.ok = true;
    plan.steps.push_back("authenticate with the card's key 0 of application " +
                         aidText(keys.reader.aid));
    plan.steps.push_back("delete application " + aidText(keys.reader.aid));
    return report(console, plan, false);
  }
  return report(
      console,
      rfid_desfire::unprovisionFleetCard(keys, card.serial, transceive, rfid_desfire::systemRandom),
      true);
}

}  // namespace rfid_tools

namespace rfid_tools {
namespace {

using rfid_sim::DesfireApplication;
using rfid_sim::DesfireCard;
using rfid_sim::DesfireKey;

const char* modeName(rfid_desfire::CommMode mode) {
  switch (mode) {
    case rfid_desfire::CommMode::kPlain:
      return "plain";
    case rfid_desfire::CommMode::kMac:
      return "mac";
    case rfid_desfire::CommMode::kFull:
      return "full";
  }
  return "plain";
}

std::string rightsText(std::uint16_t rights) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(rights));
  return text;
}

// A card file holds keys only when it is a bench file: created with mode
// 0600, or already of mode 0600 and its owner's. Any other existing file is
// written without keys (`keysWritten` false), in its own mode; a new one
// without keys takes the umask's. Never through a symbolic link.
std::optional<std::string> writeCardFile(const std::string& path,
                                         const std::function<std::string(bool)>& textOf,
                                         bool wantKeys, bool& keysWritten) {
  keysWritten = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  wantKeys ? 0600 : 0666);
  const bool created = fd >= 0;
  if (!created && errno == EEXIST) fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return path + ": " + (errno == ELOOP ? "a symbolic link" : std::strerror(errno));
  }
  struct stat info {};
  std::optional<std::string> fault;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    fault = path + " is not a regular file";
  } else if (wantKeys &&
             (created || ((info.st_mode & 07777) == 0600 && info.st_uid == ::geteuid()))) {
    keysWritten = created ? ::fchmod(fd, 0600) == 0 : true;
  }
  if (!fault && !created && ::ftruncate(fd, 0) != 0) fault = path + ": " + std::strerror(errno);
  std::string text = fault ? std::string() : textOf(keysWritten);
  for (std::size_t done = 0; !fault && done < text.size();) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) fault = path + ": " + std::strerror(errno);
    if (wrote > 0) done += static_cast<std::size_t>(wrote);
  }
  if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
  if (::close(fd) != 0 && !fault) fault = path + ": " + std::strerror(errno);
  return fault;
}

// One application as the dump shows it, for a person and for --json.
void showApplication(Console& console, std::uint32_t aid, const rfid_desfire::ApplicationRead& read,
                     JsonObject& apps) {
  JsonObject entry = {{"aid", aidText(aid)}};
  entry["key_settings"] =
      read.keySettings ? JsonObject(rfid_hex::toHex(&*read.keySettings, 1)) : JsonObject(nullptr);
  entry["key_count"] = read.keyCount ? JsonObject(*read.keyCount) : JsonObject(nullptr);
  JsonObject proven = JsonObject::array();
  if (read.masterKeyProven) proven.push_back(rfid_desfire::kMasterKeyNo);
  if (read.readKeyProven) proven.push_back(rfid_desfire::kReadKeyNo);
  entry["keys_proven"] = proven;
  const std::string settings = read.keySettings
                                   ? "key settings " + rfid_hex::toHex(&*read.keySettings, 1) +
                                         ", " + std::to_string(*read.keyCount) + " keys"
                                   : "key settings not shown without a key";
  const std::string provenText = read.masterKeyProven && read.readKeyProven
                                     ? " (keys 0 and 1 proven)"
                                 : read.readKeyProven   ? " (key 1 proven)"
                                 : read.masterKeyProven ? " (key 0 proven)"
                                                        : "";
  console.say("Application %s: %s%s.", aidText(aid).c_str(), settings.c_str(), provenText.c_str());
  JsonObject files = JsonObject::array();
  if (read.tokenFile) {
    const rfid_desfire::FileRead& file = *read.tokenFile;
    files.push_back({{"file", rfid_desfire::kTokenFileNo},
                     {"comm_mode", modeName(file.mode)},
                     {"rights", rightsText(file.rights)},
                     {"data", rfid_hex::toHex(file.data)}});
    console.say("  file 1: %s, rights %s, %zu bytes: %s", modeName(file.mode),
                rightsText(file.rights).c_str(), file.data.size(),
                rfid_hex::toHex(file.data).c_str());
  }
  entry["files"] = files;
  apps.push_back(entry);
}

}  // namespace

std::optional<int> dumpDesfireCard(int fd, Console& console, const Options& options) {
  unsigned char record[RFID_SERIAL_RECORD_SIZE] = {};
  if (!searchTag(fd, RFID_MODULE_ELATEC, record, RFID_STAGE_SEARCH)) return std::nullopt;
  const Bytes serial(record + 1,
                     record + 1 + std::min<std::size_t>(record[0], RFID_SERIAL_RECORD_SIZE - 1));
  const bool randomId = serial.size() == 4 && serial[0] == rfid_desfire::kRandomIdFirstByte;
  std::uint8_t sak = 0;
  if ((serial.size() != rfid_desfire::kSerialSize && !randomId) || !rfidElatecGetSak(fd, &sak) ||
      (sak & rfid_desfire::kSakIso14443_4) == 0) {
    return std::nullopt;
  }
  const rfid_desfire::Transceive transceive = rfid_desfire::moduleTransceive(fd);
  const rfid_desfire::CardInfo found = rfid_desfire::readCardInfo(transceive);
  if (!found.answered) return std::nullopt;
  console.json["serial"] = rfid_hex::toHex(serial);
  console.json["sak"] = rfid_hex::toHex(&sak, 1);
  console.json["desfire"] = true;
  console.json["version"] = versionName(found.version);
  console.json["picc_key_settings"] = found.piccKeySettings
                                          ? JsonObject(rfid_hex::toHex(&*found.piccKeySettings, 1))
                                          : JsonObject(nullptr);
  const bool saving = !options.savePath.empty();
  if (saving && options.format && *options.format != rfid_image::Format::kJson) {
    return console.fail(kExitUsage,
                        "a DESFire card is saved as a DESFire card file (JSON): drop --format");
  }
  if (saving && std::string(versionName(found.version)) == "unknown") {
    return console.fail(kExitFailed,
                        "the card file describes DESFire EV1, EV2 and EV3 cards, "
                        "not major version " +
                            rfid_hex::toHex(&found.version, 1));
  }
  rfid_desfire::BenchKeys keys;
  const bool withFleet = !options.fleetPath.empty();
  bool withMasterKey = false;
  if (withFleet) {
    if (const int code = loadKeys(console, options, false, keys, &withMasterKey)) return code;
  }

  std::vector<std::uint32_t> aids = found.applications.value_or(std::vector<std::uint32_t>{});
  if (withFleet && std::find(aids.begin(), aids.end(), keys.reader.aid) == aids.end()) {
    aids.push_back(keys.reader.aid);
  }
  DesfireCard card = DesfireCard::factory(serial, found.version);
  rfid_sim::DesfireUnknown unknown;
  unknown.piccKey = true;
  unknown.piccSettings = !found.piccKeySettings;
  card.setPicc(found.piccKeySettings.value_or(0), DesfireKey{});
  bool withKeys = false;
  JsonObject apps = JsonObject::array();
  std::string listed;
  for (const std::uint32_t aid : aids) {
    const bool fleetApp = withFleet && aid == keys.reader.aid;
    const rfid_desfire::ApplicationRead read =
        fleetApp ? rfid_desfire::readFleetApplication(keys, withMasterKey, serial, transceive,
                                                      rfid_desfire::systemRandom)
                 : rfid_desfire::readApplication(aid, transceive);
    if (read.lost) return console.fail(kExitFailed, kCardLeft);
    if (!read.present) {
      if (fleetApp) console.say("No application %s on the card.", aidText(aid).c_str());
      continue;
    }
    listed += (listed.empty() ? "" : " ") + aidText(aid);
    showApplication(console, aid, read, apps);
    DesfireApplication app;
    if (read.keySettings) {
      app.keySettings = *read.keySettings;
      app.keys.resize(std::max<std::size_t>(*read.keyCount, 1));
    } else {
      unknown.settings.insert(aid);
    }
    const bool keysKnown = fleetApp && read.masterKeyProven && read.readKeyProven &&
                           read.keySettings &&
                           app.keys.size() == rfid_desfire::kApplicationKeyCount;
    if (keysKnown) {
      const auto key0 = rfid_desfire::applicationKey(keys.masterKey, rfid_desfire::kMasterKeyNo,
                                                     serial, aid, keys.reader.systemId);
      const auto key1 = rfid_desfire::applicationKey(keys.reader.readKey, rfid_desfire::kReadKeyNo,
                                                     serial, aid, keys.reader.systemId);
      app.keys[0] = DesfireKey{*key0, rfid_desfire::kFleetKeyVersion};
      app.keys[1] = DesfireKey{*key1, rfid_desfire::kFleetKeyVersion};
      withKeys = true;
    } else {
      unknown.keys.insert(aid);
    }
    if (read.tokenFile) {
      app.files[rfid_desfire::kTokenFileNo] =
          rfid_sim::DesfireFile{read.tokenFile->mode, read.tokenFile->rights, read.tokenFile->data};
    } else {
      unknown.files.insert(aid);
    }
    card.putApplication(aid, app);
  }
  console.json["applications"] = apps;
  console.say(
      "Card %s: DESFire %s, SAK %02X, PICC key settings %s, applications: %s.",
      rfid_hex::toHex(serial).c_str(), versionName(found.version), sak,
      found.piccKeySettings ? rfid_hex::toHex(&*found.piccKeySettings, 1).c_str() : "?",
      listed.empty() ? (found.applications ? "none" : "not listed freely") : listed.c_str());
  if (!saving) return kExitOk;

  const std::vector<std::string> notRead = rfid_sim::describeUnknown(unknown);
  console.json["not_read"] = notRead;
  bool keysSaved = false;
  const auto fault = writeCardFile(
      options.savePath,
      [&](bool keysAllowed) {
        return rfid_sim::desfireJson(card, withKeys && keysAllowed, unknown);
      },
      withKeys, keysSaved);
  if (fault) return console.fail(kExitUsage, "cannot save the dump: " + *fault);
  if (!notRead.empty()) {
    std::string list;
    for (const std::string& line : notRead) list += (list.empty() ? "" : ", ") + line;
    console.warn(options.savePath + ": not read, left to the loader's defaults: " + list);
  }
  console.json["saved"] = options.savePath;
  console.json["format"] = "desfire";
  console.json["keys_saved"] = keysSaved;
  if (keysSaved) {
    console.say("Saved %s (DESFire card file, mode 0600, with keys 0 and 1 of application %s).",
                options.savePath.c_str(), aidText(keys.reader.aid).c_str());
  } else {
    console.say("Saved %s (DESFire card file, no keys: %s).", options.savePath.c_str(),
                withKeys ? "the file existed and is not its owner's of mode 0600; chmod 600 it or "
                           "save to a new file for a bench file"
                : !withFleet     ? "--fleet with the bench's fleet key file adds the fleet keys"
                : !withMasterKey ? "the fleet key file holds no desfire.master_key"
                                 : "the fleet application's keys 0 and 1 did not authenticate");
  }
  return kExitOk;
}

}  // namespace rfid_tools
