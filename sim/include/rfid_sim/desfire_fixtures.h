// DESFire cards of the fleet scheme (rfid_desfire/fleet.h) for the
// simulator's --card options and the tests: the genuine card, and the cards
// that attack it.
#ifndef RFID_SIM_DESFIRE_FIXTURES_H
#define RFID_SIM_DESFIRE_FIXTURES_H

#include <optional>
#include <string>

#include "rfid_desfire/fleet.h"
#include "rfid_sim/desfire_card.h"

namespace rfid_sim {

// What the bench knows of a fleet: both fleet keys, the AID, the system id.
struct DesfireFleet {
  AesKey masterKey;  // K_DM
  AesKey readKey;    // K_DR
  std::uint32_t aid = rfid_desfire::kDefaultAid;
  std::string systemId = "EVTOKEN-KEYS-V01";
};
// The scheme's example fleet: K_DM 30 31 .. 3F, K_DR 40 41 .. 4F. A
// demonstration fleet only: its keys are published.
DesfireFleet exampleFleet();
// The serial number of the simulator's DESFire cards, the example's first.
DesfireBytes exampleSerial();
constexpr rfid_desfire::TokenId kExampleTokenId = {0x00, 0x00, 0x07, 0x5B, 0xCD, 0x15};

// A card provisioned as the bench does it: the application with keys 0 and 1
// derived from the serial number, file 1 with the token id. Empty for a
// serial number the scheme has no keys for.
std::optional<DesfireCard> fleetCard(const DesfireBytes& serial, const DesfireFleet& fleet,
                                     const rfid_desfire::TokenId& tokenId, std::uint64_t seed = 1);

enum class DesfireKind {
  kFactory,      // as shipped: no applications
  kGenuine,      // a fleet card of the example fleet
  kSerialClone,  // the genuine card's serial number, no application
  kOtherFleet,   // the same AID and layout under another fleet's keys
  kReplaying,    // answers with the genuine card's replies of a recorded read
  kRandomId,     // a 4-byte serial number starting 08
  kEv1,          // the genuine card's content on an EV1 card
  kFlippedBit,   // the genuine card behind a line that flips one bit of the read's reply
};
// "desfire", "desfire-genuine", "desfire-clone", "desfire-other-fleet",
// "desfire-replay", "desfire-random-id", "desfire-ev1", "desfire-flipped-bit":
// the simulator's --card names.
const char* desfireKindName(DesfireKind kind);
std::optional<DesfireKind> desfireKindFromName(const std::string& name);

// The card of `kind` with the example fleet's genuine card's serial number
// (`serial` for the factory card, when given).
DesfireCard desfireCard(DesfireKind kind, const DesfireBytes& serial = {});

}  // namespace rfid_sim

#endif  // RFID_SIM_DESFIRE_FIXTURES_H
