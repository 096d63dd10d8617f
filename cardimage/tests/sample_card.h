// The card both image test files start from.
#ifndef RFID_IMAGE_TESTS_SAMPLE_CARD_H
#define RFID_IMAGE_TESTS_SAMPLE_CARD_H

#include <algorithm>

#include "rfid_image/card_image.h"

namespace rfid_image::testing {

constexpr Key kKeyA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr Key kKeyB = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};

// Byte i of the card is i * `step`, its own pattern for each test file;
// every trailer has keys A0..A5 / B0..B5 and the factory access bits.
inline Memory patternMemory(unsigned step) {
  Memory memory{};
  for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i * step);
  Block trailer = transportTrailer();
  std::copy(kKeyA.begin(), kKeyA.end(), trailer.begin() + kKeyAOffset);
  std::copy(kKeyB.begin(), kKeyB.end(), trailer.begin() + kKeyBOffset);
  for (int sector = 0; sector < kSectorCount; ++sector) {
    std::copy(trailer.begin(), trailer.end(), memory.begin() + trailerOf(sector) * kBlockSize);
  }
  return memory;
}

// Block `block` of an image that knows every block, as the card holds it.
inline Block blockOf(const CardImage& image, int block) {
  return isSectorTrailer(block) ? image.trailer(sectorOf(block))
                                : *image.blocks[static_cast<std::size_t>(block)];
}

}  // namespace rfid_image::testing

#endif  // RFID_IMAGE_TESTS_SAMPLE_CARD_H
