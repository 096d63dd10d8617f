#include "desfire_commands.h"

#include <cctype>
#include <cstdio>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "card_commands.h"
#include "rfid_cardauth/fleet_keys.h"
#include "rfid_desfire/module_link.h"
#include "rfid_desfire/provision.h"
#include "rfid_hex/hex.h"

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
    return console.fail(kExitRefused, kNoCard);
  }
  card.serial.assign(record + 1, record + 1 + record[0]);
  console.json["serial"] = rfid_hex::toHex(card.serial);
  if (!rfidElatecGetSak(fd, &card.sak)) return console.fail(kExitRefused, kCardLeft);
  console.json["sak"] = rfid_hex::toHex(&card.sak, 1);
  return kExitOk;
}

int loadKeys(Console& console, const Options& options, bool bench, rfid_desfire::BenchKeys& keys) {
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
  if (read.verdict == ReadVerdict::kLost) return console.fail(kExitRefused, kCardLeft);
  const bool valid = read.verdict == ReadVerdict::kValid;
  console.json["valid"] = valid;
  console.json["reason"] =
      valid ? JsonObject(nullptr) : JsonObject(rfid_desfire::readVerdictName(read.verdict));
  console.json["token_id"] =
      valid ? JsonObject(rfid_hex::toHex(read.tokenId)) : JsonObject(nullptr);
  if (!valid) return console.fail(kExitRefused, refusalText(card, read.verdict));
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
  if (!result.ok) return console.fail(kExitRefused, result.fault);
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
    return console.fail(kExitRefused, refusalText(card, ReadVerdict::kNotDesfire));
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
