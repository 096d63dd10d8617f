// Per-sector MIFARE keys in a file, shared by rfidctl (--keys, --save-keys)
// and rfid-tokend. One key per line as "SECTOR:HEX12", e.g. "1:A0A1A2A3A4A5"
// (the form of rfidctl's --sector-key); '#' starts a comment, blank lines
// are skipped, and a sector not named keeps the module's key. Key values
// never appear in an error text: a fault names the line only.
//
// rfidctl also reads and writes the Proxmark3's binary key file: 16 keys A
// of 6 bytes, sectors in order, then 16 keys B (192 bytes), or keys A only
// (96 bytes).
#ifndef RFID_KEYS_KEY_FILE_H
#define RFID_KEYS_KEY_FILE_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Module_RFID_ext.h"

namespace rfid_keys {

constexpr int kSectorCount = RFID_SECTOR_COUNT;
constexpr std::size_t kKeySize = RFID_KEY_SIZE;
using Key = std::array<std::uint8_t, kKeySize>;
using SectorKeys = std::array<std::optional<Key>, kSectorCount>;

constexpr std::size_t kBinaryKeysASize = kSectorCount * kKeySize;  // 96
constexpr std::size_t kBinaryKeyFileSize = 2 * kBinaryKeysASize;   // 192
// A key file holds at most 16 sectors' keys and comments: a larger file is
// refused unread. A dictionary may list a few hundred thousand keys.
constexpr std::size_t kLongestKeyFile = 64 * 1024;
constexpr std::size_t kLongestKeyList = 4 * 1024 * 1024;

// A key file in either layout. SECTOR:HEX12 text gives the keys of whichever
// key selector is in use; a binary file gives keys A and, at 192 bytes,
// keys B.
struct KeyFileKeys {
  bool binary = false;
  SectorKeys keys;                  // text: the sectors named; binary: keys A
  std::optional<SectorKeys> keysB;  // a binary file of 192 bytes
};

// Parses 12 hex digits (either case) into a key.
std::optional<Key> parseKey(std::string_view hex);

// Parses a key file's text. On a fault, returns "line N: what is wrong".
std::optional<std::string> parseKeyFile(std::string_view text, SectorKeys& keys);

// Reads and parses `path` with the secret file reader (rfid_secrets): a
// file that is not regular, larger than kLongestKeyFile or owned by neither
// this user nor root is refused, and with `privateOnly` one that group or
// others may read or write. On a fault, returns a message that names the
// path and what to do. The text read is wiped.
std::optional<std::string> readKeyFile(const std::string& path, bool privateOnly, SectorKeys& keys);

// Either layout: text when the content reads as SECTOR:HEX12 lines; binary
// when it has 192 or 96 bytes and is not plain text (printable ASCII and
// line ends only: such a file's faults name its line). Any other file is
// refused with its size.
std::optional<std::string> parseKeyFile(std::string_view content, KeyFileKeys& keys);
std::optional<std::string> readKeyFile(const std::string& path, bool privateOnly,
                                       KeyFileKeys& keys);
// The keys for `keySelector`: a text file's for any selector; a binary
// file's keys A for 0 and keys B for 1. On a fault (another selector, or
// keys B from a file of keys A only), returns what is wrong.
std::optional<std::string> keysForSelector(const KeyFileKeys& file, int keySelector,
                                           SectorKeys& keys);

// The text of a key file holding the known keys, sectors in order.
std::string formatKeyFile(const SectorKeys& keys);

// Writes the file with mode 0600 (replacing it whole). On a fault, returns
// a message naming the path.
std::optional<std::string> writeKeyFile(const std::string& path, const SectorKeys& keys);

// Whether `path` names a binary key file: the extension .bin, of either case.
bool isBinaryKeyFileName(const std::string& path);
// The 192 bytes of a binary key file; an unknown key is FFFFFFFFFFFF.
std::string formatBinaryKeyFile(const SectorKeys& keysA, const SectorKeys& keysB);
// Writes it as writeKeyFile writes a text file.
std::optional<std::string> writeBinaryKeyFile(const std::string& path, const SectorKeys& keysA,
                                              const SectorKeys& keysB);

// A key dictionary, the common format of public key lists: one key of 12
// hex digits a line; '#' starts a comment and blank lines are skipped. A key
// listed again is kept once, where it first stands. On a fault, returns
// "line N: what is wrong"; `keys` is then unchanged.
std::optional<std::string> parseKeyList(std::string_view text, std::vector<Key>& keys);
// Reads and parses `path` (any mode and owner: a dictionary holds public
// keys; at most kLongestKeyList bytes); on a fault, returns a message naming
// the path.
std::optional<std::string> readKeyList(const std::string& path, std::vector<Key>& keys);

// Copies the known keys into the module's key table (sectorKeyA); the other
// sectors keep theirs.
void loadIntoModule(const SectorKeys& keys);

}  // namespace rfid_keys

#endif  // RFID_KEYS_KEY_FILE_H
