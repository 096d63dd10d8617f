#include "rfid_hex/hex.h"

namespace rfid_hex {

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string toHex(const std::uint8_t* bytes, std::size_t count, const char* separator) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += separator;
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

bool parseHex(std::string_view text, std::uint8_t* out, std::size_t count) {
  if (text.size() != 2 * count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const int high = digitValue(text[2 * i]);
    const int low = digitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> fromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes(text.size() / 2);
  if (!parseHex(text, bytes.data(), bytes.size())) return std::nullopt;
  return bytes;
}

std::optional<int> smallDecimal(std::string_view text, int count, bool leadingZero) {
  if (text.empty() || text.size() > 2) return std::nullopt;
  if (!leadingZero && text.size() == 2 && text[0] == '0') return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value >= count) return std::nullopt;
  return value;
}

}  // namespace rfid_hex
