#include "host.h"

namespace rfid_tools {
std::string formatBlock(const Block& data) {
  std::string line = rfid_hex::toHex(data.data(), data.size(), " ") + "  |";
  for (const std::uint8_t byte : data) {
    line += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  }
  return line + "|";
}

}  // namespace rfid_tools
