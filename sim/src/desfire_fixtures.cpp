#include "rfid_sim/desfire_fixtures.h"

#include <algorithm>
#include <iterator>

namespace rfid_sim {
namespace {

AesKey counting(std::uint8_t first) {
  AesKey key;
  for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

struct NamedKind {
  DesfireKind kind;
  const char* name;
};
constexpr NamedKind kKinds[] = {
    {DesfireKind::kFactory, "desfire"},           {DesfireKind::kGenuine, "desfire-genuine"},
    {DesfireKind::kSerialClone, "desfire-clone"}, {DesfireKind::kOtherFleet, "desfire-other-fleet"},
    {DesfireKind::kReplaying, "desfire-replay"},  {DesfireKind::kRandomId, "desfire-random-id"},
    {DesfireKind::kEv1, "desfire-ev1"},           {DesfireKind::kFlippedBit, "desfire-flipped-bit"},
};

// The replies of the genuine card to a charger's whole read, in order.
std::vector<DesfireBytes> recordedRead(DesfireCard genuine, const DesfireFleet& fleet) {
  std::vector<DesfireBytes> replies;
  rfid_desfire::ReaderKeys keys;
  keys.aid = fleet.aid;
  keys.readKey = fleet.readKey;
  keys.systemId = fleet.systemId;
  genuine.enterField();
  rfid_desfire::readFleetCard(keys, genuine.serial(), 0x20,
                              [&](const DesfireBytes& apdu) -> std::optional<DesfireBytes> {
                                replies.push_back(genuine.transceive(apdu));
                                return replies.back();
                              });
  return replies;
}

}  // namespace

DesfireFleet exampleFleet() {
  DesfireFleet fleet;
  fleet.masterKey = counting(0x30);
  fleet.readKey = counting(0x40);
  return fleet;
}

DesfireBytes exampleSerial() {
  return {0x04, 0x78, 0x2E, 0x21, 0x80, 0x1D, 0x80};
}

std::optional<DesfireCard> fleetCard(const DesfireBytes& serial, const DesfireFleet& fleet,
                                     const rfid_desfire::TokenId& tokenId, std::uint64_t seed) {
  const auto key0 = rfid_desfire::applicationKey(fleet.masterKey, rfid_desfire::kMasterKeyNo,
                                                 serial, fleet.aid, fleet.systemId);
  const auto key1 = rfid_desfire::applicationKey(fleet.readKey, rfid_desfire::kReadKeyNo, serial,
                                                 fleet.aid, fleet.systemId);
  if (!key0 || !key1) return std::nullopt;
  DesfireCard card = DesfireCard::factory(serial, kDesfireEv3, seed);
  DesfireApplication app;
  app.keySettings = rfid_desfire::kApplicationKeySettings;
  app.keys = {DesfireKey{*key0, rfid_desfire::kFleetKeyVersion},
              DesfireKey{*key1, rfid_desfire::kFleetKeyVersion}};
  DesfireFile file;
  file.mode = CommMode::kFull;
  file.rights = static_cast<std::uint16_t>(rfid_desfire::kTokenFileRights[0] |
                                           rfid_desfire::kTokenFileRights[1] << 8);
  const rfid_desfire::TokenFile content = rfid_desfire::tokenFile(tokenId);
  file.data.assign(content.begin(), content.end());
  app.files[rfid_desfire::kTokenFileNo] = file;
  card.putApplication(fleet.aid, app);
  return card;
}

const char* desfireKindName(DesfireKind kind) {
  for (const NamedKind& entry : kKinds) {
    if (entry.kind == kind) return entry.name;
  }
  return "?";
}

std::optional<DesfireKind> desfireKindFromName(const std::string& name) {
  for (const NamedKind& entry : kKinds) {
    if (name == entry.name) return entry.kind;
  }
  return std::nullopt;
}

DesfireCard desfireCard(DesfireKind kind, const DesfireBytes& serial) {
  const DesfireFleet fleet = exampleFleet();
  const DesfireBytes genuineSerial = exampleSerial();
  DesfireCard genuine = *fleetCard(genuineSerial, fleet, kExampleTokenId);
  switch (kind) {
    case DesfireKind::kFactory:
      return DesfireCard::factory(serial.empty() ? genuineSerial : serial);
    case DesfireKind::kGenuine:
      return genuine;
    case DesfireKind::kSerialClone:
      return DesfireCard::factory(genuineSerial);
    case DesfireKind::kOtherFleet: {
      DesfireFleet other = fleet;
      other.masterKey = counting(0x50);
      other.readKey = counting(0x60);
      return *fleetCard(genuineSerial, other, kExampleTokenId);
    }
    case DesfireKind::kReplaying: {
      DesfireCard replaying = DesfireCard::factory(genuineSerial);
      replaying.replay(recordedRead(genuine, fleet));
      return replaying;
    }
    case DesfireKind::kRandomId:
      return DesfireCard::factory({0x08, 0x5C, 0x1E, 0x77});
    case DesfireKind::kEv1: {
      DesfireCard ev1 = DesfireCard::factory(genuineSerial, kDesfireEv1);
      for (const auto& [aid, app] : genuine.applications()) ev1.putApplication(aid, app);
      return ev1;
    }
    case DesfireKind::kFlippedBit:
      genuine.flipReply(4);  // select, two authentication steps, then the read
      return genuine;
  }
  return genuine;
}

}  // namespace rfid_sim
