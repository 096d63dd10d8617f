// Per-sector MIFARE keys in a file, shared by rfidctl (--keys, --save-keys)
// and rfid-tokend. One key per line as "SECTOR:HEX12", e.g. "1:A0A1A2A3A4A5"
// (the form of rfidctl's --sector-key); '#' starts a comment, blank lines
// are skipped, and a sector not named keeps the module's key. Key values
// never appear in an error text: a fault names the line only.
#ifndef RFID_KEYS_KEY_FILE_H
#define RFID_KEYS_KEY_FILE_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rfid_keys {

constexpr int kSectorCount = 16;
constexpr std::size_t kKeySize = 6;
using Key = std::array<std::uint8_t, kKeySize>;
using SectorKeys = std::array<std::optional<Key>, kSectorCount>;

// Parses 12 hex digits (either case) into a key.
std::optional<Key> parseKey(const std::string& hex);

// Parses a key file's text. On a fault, returns "line N: what is wrong".
std::optional<std::string> parseKeyFile(const std::string& text, SectorKeys& keys);

// Reads and parses `path`. With `privateOnly`, a file that group or others
// may read or write is refused. On a fault, returns a message that names
// the path and what to do.
std::optional<std::string> readKeyFile(const std::string& path, bool privateOnly, SectorKeys& keys);

// The text of a key file holding the known keys, sectors in order.
std::string formatKeyFile(const SectorKeys& keys);

// Writes the file with mode 0600 (replacing it whole). On a fault, returns
// a message naming the path.
std::optional<std::string> writeKeyFile(const std::string& path, const SectorKeys& keys);

// A key dictionary, the common format of public key lists: one key of 12
// hex digits a line; '#' starts a comment and blank lines are skipped. A key
// listed again is kept once, where it first stands. On a fault, returns
// "line N: what is wrong"; `keys` is then unchanged.
std::optional<std::string> parseKeyList(const std::string& text, std::vector<Key>& keys);
// Reads and parses `path`; on a fault, returns a message naming the path.
std::optional<std::string> readKeyList(const std::string& path, std::vector<Key>& keys);

// Copies the known keys into the module's key table (sectorKeyA); the other
// sectors keep theirs.
void loadIntoModule(const SectorKeys& keys);

}  // namespace rfid_keys

#endif  // RFID_KEYS_KEY_FILE_H
