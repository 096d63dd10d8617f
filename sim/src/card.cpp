#include "rfid_sim/card.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "rfid_sim/desfire_file.h"

namespace rfid_sim {
namespace {

// Which keys may do something: a bit set per key type.
constexpr std::uint8_t kNever = 0;
constexpr std::uint8_t kKeyA = 1;
constexpr std::uint8_t kKeyB = 2;
constexpr std::uint8_t kKeyAOrB = kKeyA | kKeyB;

constexpr std::uint8_t bitOf(KeyType key) {
  return key == KeyType::kA ? kKeyA : kKeyB;
}

// Data blocks, indexed by C1 C2 C3: who may read, who may write.
struct DataRights {
  std::uint8_t read;
  std::uint8_t write;
};
constexpr DataRights kDataRights[8] = {
    {kKeyAOrB, kKeyAOrB},  // 000, the transport configuration
    {kKeyAOrB, kNever},    // 001, value block (decrement only)
    {kKeyAOrB, kNever},    // 010, read-only
    {kKeyB, kKeyB},        // 011
    {kKeyAOrB, kKeyB},     // 100
    {kKeyB, kNever},       // 101
    {kKeyAOrB, kKeyB},     // 110, value block
    {kNever, kNever},      // 111
};

// Sector trailers, indexed by C1 C2 C3. Key A itself is never readable.
struct TrailerRights {
  std::uint8_t keyAWrite;
  std::uint8_t accessRead;
  std::uint8_t accessWrite;
  std::uint8_t keyBRead;
  std::uint8_t keyBWrite;
};
constexpr TrailerRights kTrailerRights[8] = {
    {kKeyA, kKeyA, kNever, kKeyA, kKeyA},        // 000
    {kKeyA, kKeyA, kKeyA, kKeyA, kKeyA},         // 001, the transport configuration
    {kNever, kKeyA, kNever, kKeyA, kNever},      // 010
    {kKeyB, kKeyAOrB, kKeyB, kNever, kKeyB},     // 011
    {kKeyB, kKeyAOrB, kNever, kNever, kKeyB},    // 100
    {kNever, kKeyAOrB, kKeyB, kNever, kNever},   // 101
    {kNever, kKeyAOrB, kNever, kNever, kNever},  // 110
    {kNever, kKeyAOrB, kNever, kNever, kNever},  // 111
};

using rfid_image::kAccessOffset;
using rfid_image::kAccessSize;
using rfid_image::kKeyAOffset;
using rfid_image::kKeyBOffset;

using rfid_image::kClassicAtqa;
using rfid_image::kClassicSak;
constexpr std::array<std::uint8_t, 2> kSevenByteAtqa = {0x44, 0x00};
constexpr std::uint8_t kSevenByteSak = 0x00;
constexpr std::array<std::uint8_t, 2> kDesfireAtqa = {0x44, 0x03};
constexpr std::array<std::uint8_t, 2> kDesfireSingleAtqa = {0x04, 0x03};
constexpr std::uint8_t kDesfireSak = 0x20;

// Key B is data, not a key, while the trailer lets it be read: a card
// authenticated with it refuses every access.
bool keyBIsReadable(std::uint8_t trailerCondition) {
  return kTrailerRights[trailerCondition].keyBRead != kNever;
}

}  // namespace

std::optional<KeyType> keyTypeFromSelector(std::uint8_t selector) {
  switch (selector) {
    case 0:
      return KeyType::kA;
    case 1:
      return KeyType::kB;
    default:
      return std::nullopt;
  }
}

Card Card::classic(const std::array<std::uint8_t, 4>& serial) {
  return classicFromDump(rfid_image::memoryOfImage(rfid_image::blankImage(serial)));
}

Card Card::classicFromDump(const Memory& memory) {
  Card card;
  card.kind_ = Kind::kMifareClassic1K;
  card.memory_ = memory;
  std::copy_n(memory.begin(), 4, card.serial_.begin());
  card.serialLength_ = 4;
  return card;
}

Card Card::sevenByte(const std::array<std::uint8_t, 7>& serial) {
  Card card;
  card.kind_ = Kind::kSevenByteSerial;
  std::copy(serial.begin(), serial.end(), card.serial_.begin());
  card.serialLength_ = serial.size();
  return card;
}

Card Card::desfire(DesfireCard card) {
  Card out;
  out.kind_ = Kind::kDesfire;
  const DesfireBytes& serial = card.serial();
  out.serialLength_ = std::min(serial.size(), out.serial_.size());
  std::copy_n(serial.begin(), out.serialLength_, out.serial_.begin());
  out.desfire_ = std::move(card);
  return out;
}

Card Card::demo() {
  Card card = classic({0xA1, 0xB2, 0xC3, 0xD4});
  static const char kText[] = "Demo charge card";
  static_assert(sizeof kText - 1 == kBlockSize, "one block of text");
  std::memcpy(card.memory_.data() + kBlockSize, kText, kBlockSize);
  return card;
}

std::array<std::uint8_t, 2> Card::atqa() const {
  if (kind_ == Kind::kDesfire) return serialLength_ == 4 ? kDesfireSingleAtqa : kDesfireAtqa;
  return kind_ == Kind::kMifareClassic1K ? kClassicAtqa : kSevenByteAtqa;
}

std::uint8_t Card::sak() const {
  if (kind_ == Kind::kDesfire) return kDesfireSak;
  return kind_ == Kind::kMifareClassic1K ? kClassicSak : kSevenByteSak;
}

void Card::enterField() {
  state_ = State::kIdle;
  authSector_ = -1;
  if (desfire_) desfire_->enterField();
}

bool Card::request(bool wakeHalted) {
  if (state_ == State::kHalted && !wakeHalted) return false;
  state_ = State::kActive;
  authSector_ = -1;
  // Selected anew, a DESFire card starts at its card level, unauthenticated.
  if (desfire_) desfire_->enterField();
  return true;
}

bool Card::halt() {
  if (state_ != State::kActive) return false;
  state_ = State::kHalted;
  authSector_ = -1;
  return true;
}

bool Card::authenticate(int sector, KeyType keyType, const Key& key) {
  if (state_ != State::kActive) return false;
  const std::size_t trailerAt = static_cast<std::size_t>(trailerOf(sector)) * kBlockSize;
  const bool matches =
      kind_ == Kind::kMifareClassic1K && sector >= 0 && sector < kSectorCount &&
      std::equal(
          key.begin(), key.end(),
          memory_.begin() + static_cast<std::ptrdiff_t>(
                                trailerAt + (keyType == KeyType::kA ? kKeyAOffset : kKeyBOffset)));
  if (!matches) {
    state_ = State::kIdle;
    authSector_ = -1;
    return false;
  }
  authSector_ = sector;
  authKey_ = keyType;
  return true;
}

Block Card::storedBlock(int index) const {
  Block out{};
  std::copy_n(
      memory_.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(index) * kBlockSize),
      kBlockSize, out.begin());
  return out;
}

// The common gate of reads and writes: a selected card, logged in to the
// block's sector, whose access bits are well formed and whose key B, when
// it authenticated, is a key and not readable data.
bool Card::mayAccess(int block) const {
  if (state_ != State::kActive || block < 0 || block >= kBlockCount) return false;
  if (authSector_ != sectorOf(block)) return false;
  const Block trailer = storedBlock(trailerOf(authSector_));
  const auto conditions = decodeAccessBits(trailer.data() + kAccessOffset);
  if (!conditions) return false;
  return !(authKey_ == KeyType::kB && keyBIsReadable((*conditions)[kBlocksPerSector - 1]));
}

std::optional<Block> Card::readBlock(int block) const {
  if (!mayAccess(block)) return std::nullopt;
  const Block stored = storedBlock(block);
  const auto conditions =
      *decodeAccessBits(storedBlock(trailerOf(sectorOf(block))).data() + kAccessOffset);
  const std::uint8_t key = bitOf(authKey_);
  if (!isSectorTrailer(block)) {
    if ((kDataRights[conditions[static_cast<std::size_t>(block % kBlocksPerSector)]].read & key) ==
        0) {
      return std::nullopt;
    }
    return stored;
  }
  const TrailerRights& rights = kTrailerRights[conditions[kBlocksPerSector - 1]];
  Block shown{};  // key A always reads as zeros
  if ((rights.accessRead & key) != 0) {
    std::copy_n(stored.begin() + kAccessOffset, kAccessSize, shown.begin() + kAccessOffset);
  }
  if ((rights.keyBRead & key) != 0) {
    std::copy_n(stored.begin() + kKeyBOffset, kKeySize, shown.begin() + kKeyBOffset);
  }
  return shown;
}

bool Card::writeBlock(int block, const Block& data) {
  if (!mayAccess(block) || block == 0) return false;
  const std::size_t at = static_cast<std::size_t>(block) * kBlockSize;
  const auto conditions =
      *decodeAccessBits(storedBlock(trailerOf(sectorOf(block))).data() + kAccessOffset);
  const std::uint8_t key = bitOf(authKey_);
  if (!isSectorTrailer(block)) {
    if ((kDataRights[conditions[static_cast<std::size_t>(block % kBlocksPerSector)]].write & key) ==
        0) {
      return false;
    }
    std::copy(data.begin(), data.end(), memory_.begin() + static_cast<std::ptrdiff_t>(at));
    ++writeCount_;
    return true;
  }

  if (!decodeAccessBits(data.data() + kAccessOffset)) return false;
  const TrailerRights& rights = kTrailerRights[conditions[kBlocksPerSector - 1]];
  bool wroteSomething = false;
  const auto writePart = [&](std::uint8_t allowed, std::size_t offset, std::size_t size) {
    if ((allowed & key) == 0) return;
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), size,
                memory_.begin() + static_cast<std::ptrdiff_t>(at + offset));
    wroteSomething = true;
  };
  writePart(rights.keyAWrite, kKeyAOffset, kKeySize);
  writePart(rights.accessWrite, kAccessOffset, kAccessSize);
  writePart(rights.keyBWrite, kKeyBOffset, kKeySize);
  if (wroteSomething) ++writeCount_;
  return wroteSomething;
}

rfid_image::CardImage imageOf(const Card& card) {
  rfid_image::CardImage image = rfid_image::imageOfMemory(card.memory());
  image.uid = card.serial();
  image.atqa = card.atqa();
  image.sak = card.sak();
  return image;
}

bool saveCardFile(const CardFile& file, const Card& card, std::string& error) {
  if (const DesfireCard* desfire = card.desfire())
    return writeDesfireFile(file.path, *desfire, error);
  std::vector<std::string> warnings;  // none: the image is whole
  return rfid_image::writeImageFile(file.path, imageOf(card), file.format, "rfid-reader-sim",
                                    warnings, error);
}

std::optional<Card> openCardFile(const CardFile& file, const Card& blank, std::string& warning,
                                 std::string& error) {
  if (::access(file.path.c_str(), F_OK) != 0) {
    if (!saveCardFile(file, blank, error)) return std::nullopt;
    return blank;
  }
  std::string head;
  if (std::ifstream in(file.path); in) std::getline(in, head, '\0');
  if (blank.desfire() != nullptr || isDesfireJson(head)) {
    auto desfire = readDesfireFile(file.path, warning, error);
    if (!desfire) return std::nullopt;
    return Card::desfire(std::move(*desfire));
  }
  const auto image = rfid_image::readImageFile(file.path, file.format, error);
  if (!image) return std::nullopt;
  const std::string unknown = rfid_image::describeUnknown(*image);
  if (!unknown.empty()) {
    warning = file.path + ": " + unknown + " unknown: the card has them as a new card does";
  }
  std::array<std::uint8_t, 4> serial{};
  std::copy_n(blank.memory().begin(), serial.size(), serial.begin());
  const auto filled = rfid_image::withFactoryDefaults(*image, serial);
  return Card::classicFromDump(rfid_image::memoryOfImage(filled));
}

}  // namespace rfid_sim
