#include "token.h"

namespace rfid_tokend {

std::string serialToken(const Bytes& serial, bool reversed) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * serial.size());
  const auto append = [&text](std::uint8_t byte) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  };
  if (reversed) {
    for (auto it = serial.rbegin(); it != serial.rend(); ++it) append(*it);
  } else {
    for (const std::uint8_t byte : serial) append(byte);
  }
  return text;
}

std::optional<std::string> blockToken(const Bytes& data, BlockFormat format) {
  if (format == BlockFormat::kHex) return serialToken(data, false);
  std::size_t end = data.size();
  while (end > 0 && (data[end - 1] == 0x00 || data[end - 1] == ' ')) --end;
  if (end == 0) return std::nullopt;
  std::string text;
  for (std::size_t i = 0; i < end; ++i) {
    if (data[i] < 0x20 || data[i] > 0x7E) return std::nullopt;
    text += static_cast<char>(data[i]);
  }
  return text;
}

}  // namespace rfid_tokend
