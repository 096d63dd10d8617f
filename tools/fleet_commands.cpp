#include "fleet_commands.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Module_RFID.h"
#include "card_commands.h"
#include "rfid_cardauth/fleet_keys.h"
#include "rfid_cardauth/scheme.h"
#include "rfid_image/card_image.h"

namespace rfid_tools {
namespace {

using rfid_cardauth::FleetKeys;
using rfid_cardauth::KeyKind;
using rfid_cardauth::SectorKey;
using rfid_cardauth::Uid;
using rfid_image::kBlocksPerSector;
using rfid_image::kSectorCount;
using rfid_image::trailerOf;

constexpr int kTokenBlock = rfid_cardauth::kTokenBlock;
constexpr int kTokenSector = rfid_cardauth::kTokenSector;
const SectorKey kFactoryKey(std::array<std::uint8_t, 6>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

// The order in which provision writes the trailers: the token sector last.
constexpr int kTrailerOrder[] = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, kTokenSector};
static_assert(sizeof kTrailerOrder / sizeof kTrailerOrder[0] ==
              static_cast<std::size_t>(kSectorCount));

const char* const kCardLeft =
    "the card left the field: hold it on the reader and run the same command again";

// The module's key table as the fleet commands found it. They put one
// card's key in it for each exchange; the table is put back when they end,
// so no derived key stays in it.
class KeyTableGuard {
 public:
  KeyTableGuard() { std::memcpy(saved_, sectorKeyA, sizeof saved_); }
  ~KeyTableGuard() { std::memcpy(sectorKeyA, saved_, sizeof saved_); }
  KeyTableGuard(const KeyTableGuard&) = delete;
  KeyTableGuard& operator=(const KeyTableGuard&) = delete;

 private:
  unsigned char saved_[sizeof sectorKeyA];
};

// One card's keys, derived from the fleet's keys and its serial number.
struct CardKeys {
  std::vector<SectorKey> keyA;
  std::vector<SectorKey> keyB;  // empty without the fleet's key B
};

std::optional<CardKeys> deriveCardKeys(const FleetKeys& fleet, const Uid& uid) {
  CardKeys card;
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const auto keyA =
        rfid_cardauth::sectorKey(fleet.keyA, KeyKind::kA, uid, sector, fleet.systemId);
    if (!keyA) return std::nullopt;
    card.keyA.push_back(*keyA);
    if (!fleet.keyB) continue;
    const auto keyB =
        rfid_cardauth::sectorKey(*fleet.keyB, KeyKind::kB, uid, sector, fleet.systemId);
    if (!keyB) return std::nullopt;
    card.keyB.push_back(*keyB);
  }
  return card;
}

// The card in the field, opened sector by sector with a key of the caller's
// choosing. Any refusal leaves a card idle until it is identified again; a
// different card in the field counts as the card gone.
class FleetSession {
 public:
  enum class Opened { kYes, kRefused, kCardGone };

  FleetSession(int fd, Model model)
      : withKeyA_(makeReader(fd, model, 0)), withKeyB_(makeReader(fd, model, 1)) {}

  bool start(Uid& uid) {
    idle_ = false;
    if (!withKeyA_->identify(uid)) return false;
    uid_ = uid;
    return true;
  }
  // Ready for the blocks of `sector` with `key` as key A or B: a login on
  // the Elatec reader; a read of the sector's first block on the vor
  // reader, whose requests carry the key themselves.
  Opened open(int sector, const SectorKey& key, KeyKind kind) {
    if (idle_) {
      Uid again;
      if (!withKeyA_->identify(again) || again != uid_) return Opened::kCardGone;
      idle_ = false;
    }
    std::memcpy(sectorKeyA[sector], key.data(), key.size());
    host_ = kind == KeyKind::kA ? withKeyA_.get() : withKeyB_.get();
    const int first = sector * kBlocksPerSector;
    Block data{};
    const bool opened = host_->needsLogin() ? host_->login(first) : host_->read(first, data);
    if (!opened) idle_ = true;
    return opened ? Opened::kYes : Opened::kRefused;
  }
  bool read(int block, Block& data) { return host_->read(block, data) || refused(); }
  bool write(int block, const Block& data) { return host_->write(block, data) || refused(); }

 private:
  bool refused() {
    idle_ = true;
    return false;
  }

  std::unique_ptr<ReaderHost> withKeyA_;
  std::unique_ptr<ReaderHost> withKeyB_;
  const ReaderHost* host_ = withKeyA_.get();
  Uid uid_;
  bool idle_ = false;
};

// Which key opens a sector: the fleet's key B (a fleet card), the factory
// key A (a factory card), or neither.
enum class SectorState { kFleet, kFactory, kNeither };
using CardState = std::array<SectorState, kSectorCount>;

// "0-3, 7, 9-15" for a person.
std::string sectorList(const std::vector<int>& sectors) {
  std::string text;
  for (std::size_t i = 0; i < sectors.size(); ++i) {
    std::size_t last = i;
    while (last + 1 < sectors.size() && sectors[last + 1] == sectors[last] + 1) ++last;
    text += (text.empty() ? "" : ", ") + std::to_string(sectors[i]);
    if (last > i) text += "-" + std::to_string(sectors[last]);
    i = last;
  }
  return text;
}

std::vector<int> sectorsIn(const CardState& state, SectorState wanted) {
  std::vector<int> sectors;
  for (int sector = 0; sector < kSectorCount; ++sector) {
    if (state[static_cast<std::size_t>(sector)] == wanted) sectors.push_back(sector);
  }
  return sectors;
}

// Tries each sector with the fleet's key B, then the factory key A; false
// when the card left the field.
bool probeSectors(FleetSession& session, Console& console, const CardKeys& keys, CardState& state) {
  for (int sector = 0; sector < kSectorCount; ++sector) {
    console.progress("checking sector " + std::to_string(sector) + " of 15");
    const auto at = static_cast<std::size_t>(sector);
    FleetSession::Opened opened = session.open(sector, keys.keyB[at], KeyKind::kB);
    state[at] = SectorState::kFleet;
    if (opened == FleetSession::Opened::kRefused) {
      opened = session.open(sector, kFactoryKey, KeyKind::kA);
      state[at] = SectorState::kFactory;
    }
    if (opened == FleetSession::Opened::kCardGone) return false;
    if (opened == FleetSession::Opened::kRefused) state[at] = SectorState::kNeither;
  }
  console.endProgress();
  return true;
}

FleetSession::Opened openKnown(FleetSession& session, const CardKeys& keys, const CardState& state,
                               int sector) {
  const auto at = static_cast<std::size_t>(sector);
  return state[at] == SectorState::kFleet ? session.open(sector, keys.keyB[at], KeyKind::kB)
                                          : session.open(sector, kFactoryKey, KeyKind::kA);
}

// What provision and unprovision share: the fleet key file with key B, the
// card, its keys and the state of its sectors.
struct Rework {
  FleetKeys fleet;
  Uid uid;
  CardKeys keys;
  CardState state{};
};

int loadFleet(Console& console, const Options& options, bool needKeyB, FleetKeys& fleet) {
  if (const auto fault = rfid_cardauth::readFleetKeys(options.fleetPath, fleet)) {
    return console.fail(kExitUsage, *fault);
  }
  if (needKeyB && !fleet.keyB) {
    return console.fail(kExitUsage,
                        "fleet key file " + options.fleetPath +
                            " holds no key_b: writing a fleet card's trailers needs the "
                            "provisioning bench's file");
  }
  return kExitOk;
}

std::string uidText(const Uid& uid) {
  return toHex(uid);
}

// Identifies the card, derives its keys and finds which key opens each
// sector; refuses a card with a sector that opens with neither.
int startRework(FleetSession& session, Console& console, Rework& work) {
  if (!session.start(work.uid)) return console.fail(kExitFailed, kNoCard);
  console.json["serial"] = uidText(work.uid);
  auto keys = deriveCardKeys(work.fleet, work.uid);
  if (!keys) return console.fail(kExitFailed, "the card's serial number is neither 4 nor 7 bytes");
  work.keys = std::move(*keys);
  if (!probeSectors(session, console, work.keys, work.state)) {
    return console.fail(kExitFailed, kCardLeft);
  }
  const std::vector<int> fleetSectors = sectorsIn(work.state, SectorState::kFleet);
  console.json["fleet_sectors"] = fleetSectors;
  if (!fleetSectors.empty()) {
    console.say("Sectors %s of card %s already carry fleet keys.", sectorList(fleetSectors).c_str(),
                uidText(work.uid).c_str());
  }
  const std::vector<int> neither = sectorsIn(work.state, SectorState::kNeither);
  if (!neither.empty()) {
    return console.fail(kExitFailed, "sector(s) " + sectorList(neither) + " of card " +
                                         uidText(work.uid) +
                                         " open with neither this fleet's key nor the factory "
                                         "key: not a card of this fleet; nothing written");
  }
  return kExitOk;
}

// Writes `data` to `block` in its sector's current state; a refusal is one
// failure line, a card gone another that tells which sectors are done.
int writeInState(FleetSession& session, Console& console, Rework& work, int block,
                 const Block& data, SectorState after) {
  const int sector = block / kBlocksPerSector;
  const FleetSession::Opened opened = openKnown(session, work.keys, work.state, sector);
  if (opened == FleetSession::Opened::kYes && session.write(block, data)) {
    if (after != SectorState::kNeither) work.state[static_cast<std::size_t>(sector)] = after;
    return kExitOk;
  }
  const std::vector<int> fleetSectors = sectorsIn(work.state, SectorState::kFleet);
  console.json["fleet_sectors"] = fleetSectors;
  const std::string done = fleetSectors.empty()
                               ? "no sector carries fleet keys"
                               : "sector(s) " + sectorList(fleetSectors) + " carry fleet keys";
  if (opened == FleetSession::Opened::kCardGone) {
    return console.fail(kExitFailed, std::string(kCardLeft) + " (" + done + ")");
  }
  return console.fail(kExitFailed, "the card refused the write of block " + std::to_string(block) +
                                       " (" + done +
                                       "): hold it still and run the same command again");
}

std::string tokenText(const rfid_cardauth::TokenId& id) {
  return toHex(id.data(), id.size());
}

}  // namespace

int provisionCard(int fd, Console& console, const Options& options) {
  const KeyTableGuard restoreKeys;
  FleetSession session(fd, options.model);
  Rework work;
  if (const int code = loadFleet(console, options, true, work.fleet)) return code;
  std::uint8_t keyId = 0;
  if (options.macKeyId != 0) {
    keyId = static_cast<std::uint8_t>(options.macKeyId);
  } else {
    keyId = work.fleet.macKeys.rbegin()->first;  // the newest key
  }
  const auto macKey = work.fleet.macKeys.find(keyId);
  if (macKey == work.fleet.macKeys.end()) {
    return console.fail(kExitUsage, "fleet key file " + options.fleetPath +
                                        " has no MAC key with id " + std::to_string(keyId) +
                                        " ([mac] " + std::to_string(keyId) + " = ...)");
  }
  console.json["token_id"] = tokenText(options.tokenId);
  console.json["key_id"] = keyId;
  if (const int code = startRework(session, console, work)) return code;
  const auto block =
      rfid_cardauth::encodeTokenBlock(macKey->second, keyId, options.tokenId, work.uid);
  if (!block) return console.fail(kExitFailed, "no token block for this card's serial number");

  if (!options.yes) {
    console.json["written"] = false;
    console.say(
        "Would write block 4 of card %s (token %s under MAC key id %d), then the trailers of "
        "sectors 0 and 2-15 and last of sector 1, with the card's own keys A and B and access bits "
        "78 77 88 69. "
        "Nothing written: add --yes.",
        uidText(work.uid).c_str(), tokenText(options.tokenId).c_str(), keyId);
    return kExitOk;
  }
  console.progress("writing block 4");
  if (const int code =
          writeInState(session, console, work, kTokenBlock, *block, SectorState::kNeither)) {
    return code;
  }
  // Sector 1's trailer goes last: until it is written, block 4 does not
  // open with the card's derived key A, so a card pulled away before the
  // end is refused by every charger (login) instead of verifying while
  // other sectors keep factory keys. Running the command again finishes it.
  for (const int sector : kTrailerOrder) {
    console.progress("writing the trailer of sector " + std::to_string(sector));
    const auto at = static_cast<std::size_t>(sector);
    const Block trailer = rfid_cardauth::fleetTrailer(work.keys.keyA[at], work.keys.keyB[at]);
    if (const int code =
            writeInState(session, console, work, trailerOf(sector), trailer, SectorState::kFleet)) {
      return code;
    }
  }
  console.endProgress();
  console.json["written"] = true;
  console.json["fleet_sectors"] = sectorsIn(work.state, SectorState::kFleet);

  // The card as a charger sees it: block 4 through the new key A.
  Block readBack{};
  if (session.open(kTokenSector, work.keys.keyA[kTokenSector], KeyKind::kA) !=
          FleetSession::Opened::kYes ||
      !session.read(kTokenBlock, readBack)) {
    return console.fail(kExitFailed,
                        "block 4 does not read back with the card's new key A: run verify");
  }
  const auto verdict = rfid_cardauth::verifyTokenBlock(readBack, work.uid, work.fleet.macKeys);
  if (verdict.verdict != rfid_cardauth::Verdict::kValid || verdict.tokenId != options.tokenId) {
    return console.fail(kExitFailed, "block 4 read back but does not verify (" +
                                         std::string(rfid_cardauth::verdictName(verdict.verdict)) +
                                         "): run the same command again");
  }
  console.json["verified"] = true;
  console.say(
      "Provisioned card %s: token %s under MAC key id %d; block 4 reads back with the new "
      "key A and verifies.",
      uidText(work.uid).c_str(), tokenText(options.tokenId).c_str(), keyId);
  return kExitOk;
}

int verifyCard(int fd, Console& console, const Options& options) {
  const KeyTableGuard restoreKeys;
  FleetKeys fleet;
  if (const int code = loadFleet(console, options, false, fleet)) return code;
  FleetSession session(fd, options.model);
  Uid uid;
  if (!session.start(uid)) return console.fail(kExitFailed, kNoCard);
  console.json["serial"] = uidText(uid);
  const auto keyA =
      rfid_cardauth::sectorKey(fleet.keyA, KeyKind::kA, uid, kTokenSector, fleet.systemId);
  Block block{};
  const bool read = keyA &&
                    session.open(kTokenSector, *keyA, KeyKind::kA) == FleetSession::Opened::kYes &&
                    session.read(kTokenBlock, block);
  if (!read) {
    console.json["valid"] = false;
    console.json["reason"] = "login";
    return console.fail(kExitFailed, "card " + uidText(uid) +
                                         " refused: block 4 does not open with this card's fleet "
                                         "key A (login): not a card of this fleet");
  }
  const auto result = rfid_cardauth::verifyTokenBlock(block, uid, fleet.macKeys);
  const bool valid = result.verdict == rfid_cardauth::Verdict::kValid;
  const bool hasFields = result.verdict != rfid_cardauth::Verdict::kLayout;
  console.json["valid"] = valid;
  console.json["reason"] =
      valid ? JsonObject(nullptr) : JsonObject(rfid_cardauth::verdictName(result.verdict));
  console.json["token_id"] =
      hasFields ? JsonObject(tokenText(result.tokenId)) : JsonObject(nullptr);
  console.json["key_id"] = hasFields ? JsonObject(result.keyId) : JsonObject(nullptr);
  if (valid) {
    console.say("Card %s: token %s, MAC key id %d: valid.", uidText(uid).c_str(),
                tokenText(result.tokenId).c_str(), result.keyId);
    return kExitOk;
  }
  switch (result.verdict) {
    case rfid_cardauth::Verdict::kLayout:
      return console.fail(
          kExitFailed, "card " + uidText(uid) + " refused: block 4 holds no fleet token (layout)");
    case rfid_cardauth::Verdict::kKeyId:
      return console.fail(kExitFailed, "card " + uidText(uid) + " refused: token " +
                                           tokenText(result.tokenId) + " names MAC key id " +
                                           std::to_string(result.keyId) +
                                           ", which the fleet key file does not hold (key-id)");
    case rfid_cardauth::Verdict::kMac:
    case rfid_cardauth::Verdict::kValid:
      break;
  }
  return console.fail(kExitFailed, "card " + uidText(uid) + " refused: token " +
                                       tokenText(result.tokenId) + " under MAC key id " +
                                       std::to_string(result.keyId) +
                                       " does not carry this card's MAC (mac): a copied or "
                                       "altered block");
}

int unprovisionCard(int fd, Console& console, const Options& options) {
  const KeyTableGuard restoreKeys;
  FleetSession session(fd, options.model);
  Rework work;
  if (const int code = loadFleet(console, options, true, work.fleet)) return code;
  if (const int code = startRework(session, console, work)) return code;
  if (!options.yes) {
    console.json["written"] = false;
    console.say(
        "Would write a zero block 4 on card %s, then the factory trailer (keys "
        "FFFFFFFFFFFF, access bits FF 07 80 69) in sectors 0-15. Nothing written: add "
        "--yes.",
        uidText(work.uid).c_str());
    return kExitOk;
  }
  console.progress("writing block 4");
  if (const int code =
          writeInState(session, console, work, kTokenBlock, Block{}, SectorState::kNeither)) {
    return code;
  }
  const Block factory = rfid_image::transportTrailer();
  for (int sector = 0; sector < kSectorCount; ++sector) {
    console.progress("writing the trailer of sector " + std::to_string(sector));
    if (const int code = writeInState(session, console, work, trailerOf(sector), factory,
                                      SectorState::kFactory)) {
      return code;
    }
  }
  console.endProgress();
  console.json["written"] = true;
  console.json["fleet_sectors"] = JsonObject::array();
  console.say("Card %s has factory keys, factory access bits and a zero block 4 again.",
              uidText(work.uid).c_str());
  return kExitOk;
}

}  // namespace rfid_tools
