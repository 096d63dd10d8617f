// Hex text for bytes, as the tools, the simulator, the key and card-image
// files and the service's tokens write and read it: upper-case digits out,
// either case in; and the small decimals of those files.
#ifndef RFID_HEX_HEX_H
#define RFID_HEX_HEX_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rfid_hex {

// The value of one hex digit of either case, or -1.
int digitValue(char c);

// Upper-case hex digits, two per byte, joined by `separator` (none by default).
std::string toHex(const std::uint8_t* bytes, std::size_t count, const char* separator = "");
inline std::string toHex(const std::vector<std::uint8_t>& bytes, const char* separator = "") {
  return toHex(bytes.data(), bytes.size(), separator);
}
template <std::size_t N>
std::string toHex(const std::array<std::uint8_t, N>& bytes, const char* separator = "") {
  return toHex(bytes.data(), N, separator);
}

// Exactly 2 * count hex digits of either case, no separators, into `out`.
// False (and `out` partly written) on any other text. Read in place, so
// that hex text of a key in wiped memory is not copied.
bool parseHex(std::string_view text, std::uint8_t* out, std::size_t count);
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> parseHex(std::string_view text) {
  std::array<std::uint8_t, N> bytes{};
  if (!parseHex(text, bytes.data(), N)) return std::nullopt;
  return bytes;
}

// Bytes from hex digits of either case with no separators; empty on any
// other character or an odd count of digits.
std::optional<std::vector<std::uint8_t>> fromHex(const std::string& text);

// A decimal of one or two digits ("0" to "99") below `count`: a sector or
// block number as the card files and key files write it. A leading zero
// ("07") only where `leadingZero` allows it.
std::optional<int> smallDecimal(std::string_view text, int count, bool leadingZero);

}  // namespace rfid_hex

#endif  // RFID_HEX_HEX_H
