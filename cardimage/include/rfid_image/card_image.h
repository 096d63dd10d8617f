// A MIFARE Classic 1K card as the card-dump files of other MIFARE tools hold
// it: 64 blocks of 16 bytes, each known or not, the two keys of each sector,
// known or not, and the card's identification where it is known. A dump
// cannot know everything: a block that a key could not read stays unknown,
// and key A never reads back from a card.
#ifndef RFID_IMAGE_CARD_IMAGE_H
#define RFID_IMAGE_CARD_IMAGE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Module_RFID_ext.h"

namespace rfid_image {

constexpr int kSectorCount = RFID_SECTOR_COUNT;
constexpr int kBlocksPerSector = RFID_BLOCKS_PER_SECTOR;
constexpr int kBlockCount = RFID_BLOCK_COUNT;
constexpr std::size_t kBlockSize = RFID_BLOCK_SIZE;
constexpr std::size_t kKeySize = RFID_KEY_SIZE;
constexpr std::size_t kMemorySize = kBlockCount * kBlockSize;  // 1024

// Sector trailer layout: key A, three access bytes and the general purpose
// byte, key B.
constexpr std::size_t kKeyAOffset = 0;
constexpr std::size_t kAccessOffset = kKeyAOffset + kKeySize;
constexpr std::size_t kAccessSize = 4;
constexpr std::size_t kKeyBOffset = kAccessOffset + kAccessSize;
static_assert(kKeyBOffset + kKeySize == kBlockSize, "key B ends the trailer");

// What a MIFARE Classic 1K with a 4-byte serial number answers to a request
// (ATQA, least significant byte first) and to its selection (SAK).
constexpr std::uint8_t kClassicSak = 0x08;
constexpr std::array<std::uint8_t, 2> kClassicAtqa = {0x04, 0x00};

using Block = std::array<std::uint8_t, kBlockSize>;
using Key = std::array<std::uint8_t, kKeySize>;
using Memory = std::array<std::uint8_t, kMemorySize>;

constexpr bool isSectorTrailer(int block) {
  return block % kBlocksPerSector == kBlocksPerSector - 1;
}
constexpr int sectorOf(int block) {
  return block / kBlocksPerSector;
}
constexpr int trailerOf(int sector) {
  return sector * kBlocksPerSector + kBlocksPerSector - 1;
}

// Access conditions of the four blocks of a sector, each the three bits
// C1 C2 C3 as one value 0 to 7, decoded from trailer bytes 6 to 8. Empty when
// the inverted copies do not match: a card takes such a trailer and then
// refuses every access to the sector for good.
using AccessConditions = std::array<std::uint8_t, kBlocksPerSector>;
std::optional<AccessConditions> decodeAccessBits(const std::uint8_t* bytes);
std::array<std::uint8_t, 3> encodeAccessBits(const AccessConditions& conditions);
// Whether key A reads key B back under the trailer's own condition (000,
// 001 and 010); key B is then data, not a key.
constexpr bool keyBIsReadable(std::uint8_t trailerCondition) {
  return trailerCondition <= 2;
}

// The factory ("transport") trailer: keys A and B FF..FF, access bits
// FF 07 80, general purpose byte 69.
Block transportTrailer();
// Block 0 of a card as NXP makes it: the 4-byte serial number, its check
// byte (XOR), SAK 08 and ATQA 04 00.
Block manufacturerBlock(const std::array<std::uint8_t, 4>& uid);

struct CardImage {
  // A trailer is known when its access bytes (6 to 9) are; its key bytes
  // are not looked at: `keyA` and `keyB` say the keys.
  std::array<std::optional<Block>, kBlockCount> blocks;
  std::array<std::optional<Key>, kSectorCount> keyA;
  std::array<std::optional<Key>, kSectorCount> keyB;
  std::optional<std::vector<std::uint8_t>> uid;  // 4, 7 or 10 bytes
  std::optional<std::array<std::uint8_t, 2>> atqa;
  std::optional<std::uint8_t> sak;

  // The trailer of `sector` as a card holds it: access bytes of the known
  // trailer (zero when unknown) and the known keys (zero when unknown).
  Block trailer(int sector) const;
  // Whether block, access bytes and both keys of a trailer are all known.
  bool complete(int block) const;
};

// Equal in everything an image says; a trailer's key bytes are compared
// through the keys.
bool operator==(const CardImage& a, const CardImage& b);
inline bool operator!=(const CardImage& a, const CardImage& b) {
  return !(a == b);
}

// Every block and key known, the keys taken from the trailers.
CardImage imageOfMemory(const Memory& memory);
// The 1024 bytes, unknown blocks and keys as zeros.
Memory memoryOfImage(const CardImage& image);
// A factory-new card with this serial number.
CardImage blankImage(const std::array<std::uint8_t, 4>& uid);
// The image with every unknown part in its factory state: data blocks zero,
// trailers' access bytes FF 07 80 69, keys FF..FF, and block 0 made from the
// image's 4-byte serial number or else from `uidIfUnknown`.
CardImage withFactoryDefaults(const CardImage& image,
                              const std::array<std::uint8_t, 4>& uidIfUnknown);

// What an image does not know, for a warning ("blocks 8-11; key A of
// sectors 2, 3"); empty when it knows every block and key.
std::string describeUnknown(const CardImage& image);

}  // namespace rfid_image

#endif  // RFID_IMAGE_CARD_IMAGE_H
