// Hex text for bytes, as the simulator and the tools read and print it.
#ifndef RFID_SIM_HEX_H
#define RFID_SIM_HEX_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rfid_sim {

// Upper-case hex digits, two per byte, joined by `separator` (none by default).
std::string toHex(const std::uint8_t* bytes, std::size_t count, const char* separator = "");
inline std::string toHex(const std::vector<std::uint8_t>& bytes, const char* separator = "") {
  return toHex(bytes.data(), bytes.size(), separator);
}
// Bytes from hex digits of either case, with no separators; empty on any
// other character or an odd count of digits.
std::optional<std::vector<std::uint8_t>> fromHex(const std::string& text);

}  // namespace rfid_sim

#endif  // RFID_SIM_HEX_H
