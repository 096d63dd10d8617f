// Fleet cards as card images, for the simulated readers (--card-file) and
// the tests that attack the scheme: a provisioned card, and the cards an
// attacker can make from it. Built from the cardauth library, so the
// images always follow the scheme the tools and the service check.
#ifndef RFID_TOOLS_FLEET_IMAGES_H
#define RFID_TOOLS_FLEET_IMAGES_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rfid_cardauth/fleet_keys.h"
#include "rfid_image/card_image.h"

namespace rfid_tools {

using Uid4 = std::array<std::uint8_t, 4>;

// A card as `rfidctl provision` leaves it: the card's own keys in every
// trailer, the fleet access bits, the token in block 4. Empty when `fleet`
// lacks key B or MAC key `keyId`.
std::optional<rfid_image::CardImage> fleetCardImage(const rfid_cardauth::FleetKeys& fleet,
                                                    const Uid4& uid, std::uint8_t keyId,
                                                    const rfid_cardauth::TokenId& tokenId);

struct AttackCard {
  std::string name;     // a file name: "provisioned", "uid-clone", ...
  std::string verdict;  // what a charger must say: "valid", "login", "mac" or "key-id"
  std::string what;     // for a person
  rfid_image::CardImage image;
};

// The genuine card (serial 1A2B3C4D, token 0000075BCD15 under the file's
// lowest MAC key id) and what an attacker makes of it:
// - uid-clone: a card with the same serial number and factory keys, the
//   genuine block 4 copied on;
// - block-swap: a second genuine card (serial 5E6F7081) carrying the first
//   card's block 4;
// - bit-flip: the genuine card with one token-id bit flipped;
// - unknown-key-id: a card signed with a MAC key the file does not hold;
// - full-copy: serial number, keys and blocks copied onto a magic card,
//   which the scheme cannot tell from the original.
// Empty when `bench` lacks key B.
std::vector<AttackCard> attackCards(const rfid_cardauth::FleetKeys& bench);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_FLEET_IMAGES_H
