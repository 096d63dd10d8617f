// The card in a simulated reader's field: a MIFARE Classic 1K card with its
// memory, keys and access bits, or a card with a 7-byte serial number that a
// reader only recognises.
#ifndef RFID_SIM_CARD_H
#define RFID_SIM_CARD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rfid_image/card_image.h"
#include "rfid_image/image_file.h"
#include "rfid_sim/desfire_card.h"

namespace rfid_sim {

using Bytes = std::vector<std::uint8_t>;

using rfid_image::Block;
using rfid_image::kBlockCount;
using rfid_image::kBlockSize;
using rfid_image::kBlocksPerSector;
using rfid_image::Key;
using rfid_image::kKeySize;
using rfid_image::kMemorySize;
using rfid_image::kSectorCount;
using rfid_image::Memory;

// Key selector values, the same on both reader models.
enum class KeyType : std::uint8_t { kA = 0, kB = 1 };
std::optional<KeyType> keyTypeFromSelector(std::uint8_t selector);

using rfid_image::decodeAccessBits;
using rfid_image::encodeAccessBits;
using rfid_image::isSectorTrailer;
using rfid_image::sectorOf;
using rfid_image::trailerOf;
using rfid_image::transportTrailer;

class Card {
 public:
  enum class Kind { kMifareClassic1K, kSevenByteSerial, kDesfire };
  // Where a card stands in the ISO 14443-3 state machine, as far as a reader
  // can tell: kIdle answers the next card request; kActive has been selected
  // by one and takes commands; kHalted answers only a wake-up (or, with the
  // reader's card request mode, after leaving and re-entering the field).
  enum class State { kIdle, kActive, kHalted };

  // A blank MIFARE Classic 1K card: block 0 holds the serial number, its
  // check byte, SAK 08 and ATQA 04 00; every sector has the transport
  // trailer; all other blocks are zero.
  static Card classic(const std::array<std::uint8_t, 4>& serial);
  // A classic card with the memory of a dump; the serial number is taken
  // from block 0.
  static Card classicFromDump(const Memory& memory);
  // A card with a 7-byte serial (MIFARE Plus, Ultralight, DESFire ...): it
  // answers card requests but refuses every block access.
  static Card sevenByte(const std::array<std::uint8_t, 7>& serial);
  // A DESFire card (SAK 20): the tag search finds its serial number, and
  // the reader's ISO 14443-4 exchange reaches its commands.
  static Card desfire(DesfireCard card);
  // The default card of the simulated readers: serial A1 B2 C3 D4, blank but
  // for a text in block 1.
  static Card demo();

  Kind kind() const { return kind_; }
  State state() const { return state_; }
  Bytes serial() const { return Bytes(serial_.begin(), serial_.begin() + serialLength_); }
  std::array<std::uint8_t, 2> atqa() const;
  std::uint8_t sak() const;
  const Memory& memory() const { return memory_; }
  // The DESFire card, for a card of that kind; null otherwise.
  DesfireCard* desfire() { return desfire_ ? &*desfire_ : nullptr; }
  const DesfireCard* desfire() const { return desfire_ ? &*desfire_ : nullptr; }
  // Counts successful writes, so an owner can tell when to save.
  unsigned long writeCount() const {
    return writeCount_ + (desfire_ ? desfire_->changeCount() : 0);
  }

  // The card (re-)enters the field: it powers up idle, with no login.
  void enterField();
  // A card request or tag search. `wakeHalted` is the wake-up form that
  // halted cards answer too. Selects the card; true when it answered.
  bool request(bool wakeHalted);
  // Halts a selected card; false when no selected card answered.
  bool halt();
  // Authenticates `sector` with `key` of type `keyType`. A wrong key, like
  // any failed authentication of a real card, drops the card back to idle:
  // it takes no command until the next card request.
  bool authenticate(int sector, KeyType keyType, const Key& key);
  // The sector of the last successful authentication, or -1.
  int authenticatedSector() const { return authSector_; }
  // Read and write in the authenticated sector, as the sector's access bits
  // allow for the key that authenticated. A trailer reads with key A as
  // zeros and key B as zeros unless the access bits make it readable; a
  // trailer write changes only the parts that the access bits let the key
  // write. Block 0 is read-only. A write of a trailer with malformed access
  // bits is refused: a real card would take it and lock the sector for good.
  std::optional<Block> readBlock(int block) const;
  bool writeBlock(int block, const Block& data);

 private:
  Card() = default;
  bool mayAccess(int block) const;
  Block storedBlock(int index) const;

  Kind kind_ = Kind::kMifareClassic1K;
  std::array<std::uint8_t, 7> serial_{};
  std::size_t serialLength_ = 0;
  Memory memory_{};
  State state_ = State::kIdle;
  int authSector_ = -1;
  KeyType authKey_ = KeyType::kA;
  unsigned long writeCount_ = 0;
  std::optional<DesfireCard> desfire_;
};

// A card file: a card dump in one of the formats of rfid_image/image_file.h,
// or for a DESFire card its JSON file (rfid_sim/desfire_file.h).
struct CardFile {
  std::string path;
  rfid_image::Format format = rfid_image::Format::kBinary;
};

// Everything a classic card holds: every block, both keys of each sector,
// its serial number, ATQA and SAK.
rfid_image::CardImage imageOf(const Card& card);
// Writes `card` to the file whole, which is replaced in one step. False,
// with `error` set, when it cannot be written.
bool saveCardFile(const CardFile& file, const Card& card, std::string& error);
// The card of a card file: the dump in the file when it exists, else
// `blank`, which is written there at once so the file exists from the start.
// Blocks and keys that the dump does not know take their factory state (and
// block 0 the serial number of the dump or else of `blank`); `warning` then
// says which. Empty, with `error` set, when the file cannot be read or
// written or is malformed (the error names the line or the JSON key). A
// file whose JSON names the type DESFire, or any file with a DESFire
// `blank`, is a DESFire card file.
std::optional<Card> openCardFile(const CardFile& file, const Card& blank, std::string& warning,
                                 std::string& error);

}  // namespace rfid_sim

#endif  // RFID_SIM_CARD_H
