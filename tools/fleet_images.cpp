#include "fleet_images.h"

#include <algorithm>

namespace rfid_tools {
namespace {

using rfid_cardauth::FleetKeys;
using rfid_cardauth::KeyKind;
using rfid_cardauth::TokenId;
using rfid_image::CardImage;

constexpr Uid4 kGenuineUid = {0x1A, 0x2B, 0x3C, 0x4D};
constexpr Uid4 kSecondUid = {0x5E, 0x6F, 0x70, 0x81};
constexpr TokenId kGenuineToken = {0x00, 0x00, 0x07, 0x5B, 0xCD, 0x15};
constexpr TokenId kSecondToken = {0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr std::size_t kTokenBlock = rfid_cardauth::kTokenBlock;

rfid_image::Key keyOf(const rfid_cardauth::SectorKey& key) {
  rfid_image::Key out{};
  std::copy_n(key.data(), out.size(), out.begin());
  return out;
}

// A MAC key id the file does not hold, and a key for it.
std::uint8_t unknownKeyId(const FleetKeys& fleet) {
  std::uint8_t id = 255;
  while (fleet.macKeys.count(id) != 0) --id;
  return id;
}

}  // namespace

std::optional<CardImage> fleetCardImage(const FleetKeys& fleet, const Uid4& uid, std::uint8_t keyId,
                                        const TokenId& tokenId) {
  const auto macKey = fleet.macKeys.find(keyId);
  if (!fleet.keyB || macKey == fleet.macKeys.end()) return std::nullopt;
  const rfid_cardauth::Uid cardUid(uid.begin(), uid.end());
  const auto block = rfid_cardauth::encodeTokenBlock(macKey->second, keyId, tokenId, cardUid);
  if (!block) return std::nullopt;
  CardImage image = rfid_image::blankImage(uid);
  image.blocks[kTokenBlock] = *block;
  for (int sector = 0; sector < rfid_image::kSectorCount; ++sector) {
    const auto keyA =
        rfid_cardauth::sectorKey(fleet.keyA, KeyKind::kA, cardUid, sector, fleet.systemId);
    const auto keyB =
        rfid_cardauth::sectorKey(*fleet.keyB, KeyKind::kB, cardUid, sector, fleet.systemId);
    if (!keyA || !keyB) return std::nullopt;
    const auto at = static_cast<std::size_t>(sector);
    image.blocks[static_cast<std::size_t>(rfid_image::trailerOf(sector))] =
        rfid_cardauth::fleetTrailer(*keyA, *keyB);
    image.keyA[at] = keyOf(*keyA);
    image.keyB[at] = keyOf(*keyB);
  }
  return image;
}

std::vector<AttackCard> attackCards(const FleetKeys& bench) {
  if (!bench.keyB || bench.macKeys.empty()) return {};
  const std::uint8_t keyId = bench.macKeys.begin()->first;
  const auto genuine = fleetCardImage(bench, kGenuineUid, keyId, kGenuineToken);
  const auto second = fleetCardImage(bench, kSecondUid, keyId, kSecondToken);
  FleetKeys withUnknownKey = bench;
  const std::uint8_t unknownId = unknownKeyId(bench);
  withUnknownKey.macKeys[unknownId] = *bench.keyB;  // any key the chargers lack
  const auto unknown = fleetCardImage(withUnknownKey, kGenuineUid, unknownId, kGenuineToken);
  if (!genuine || !second || !unknown) return {};

  CardImage clone = rfid_image::blankImage(kGenuineUid);
  clone.blocks[kTokenBlock] = genuine->blocks[kTokenBlock];
  CardImage swapped = *second;
  swapped.blocks[kTokenBlock] = genuine->blocks[kTokenBlock];
  CardImage flipped = *genuine;
  (*flipped.blocks[kTokenBlock])[7] ^= 0x01;  // the token id's last bit

  return {
      {"provisioned", "valid", "a genuine fleet card", *genuine},
      {"uid-clone", "login", "the serial number copied onto a card with factory keys", clone},
      {"block-swap", "mac", "a second genuine card carrying the first card's block 4", swapped},
      {"bit-flip", "mac", "a genuine card with one token-id bit flipped", flipped},
      {"unknown-key-id", "key-id", "a card signed with a MAC key the chargers do not hold",
       *unknown},
      {"full-copy", "valid", "serial number, keys and blocks copied onto a magic card", *genuine},
  };
}

}  // namespace rfid_tools
