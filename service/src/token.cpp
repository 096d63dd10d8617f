#include "token.h"

#include "rfid_hex/hex.h"

namespace rfid_tokend {

std::string serialToken(const Bytes& serial, bool reversed) {
  if (!reversed) return rfid_hex::toHex(serial.data(), serial.size());
  const Bytes backwards(serial.rbegin(), serial.rend());
  return rfid_hex::toHex(backwards.data(), backwards.size());
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
