// The parsers and writers of each format, and the hex text they share. Not
// installed: image_file.h is the library's interface.
#ifndef RFID_IMAGE_FORMATS_H
#define RFID_IMAGE_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "rfid_image/card_image.h"

namespace rfid_image::formats {

// Exactly 2 * count hex digits of either case into `out`.
bool parseHex(const std::string& text, std::uint8_t* out, std::size_t count);
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> parseHex(const std::string& text) {
  std::array<std::uint8_t, N> bytes{};
  if (!parseHex(text, bytes.data(), N)) return std::nullopt;
  return bytes;
}
// Upper-case hex digits, two per byte.
std::string toHex(const std::uint8_t* bytes, std::size_t count);
template <std::size_t N>
std::string toHex(const std::array<std::uint8_t, N>& bytes) {
  return toHex(bytes.data(), N);
}
// The line without surrounding blanks and carriage return.
std::string trim(const std::string& line);
std::string lineError(int number, const std::string& message);

std::optional<CardImage> parseEml(const std::string& text, std::string& error);
// Every block and key of `image` must be known.
std::string formatEml(const CardImage& image);

std::optional<CardImage> parseMct(const std::string& text, std::string& error);
std::string formatMct(const CardImage& image);

std::optional<CardImage> parseJson(const std::string& text, std::string& error);
std::string formatJson(const CardImage& image, const std::string& creator);

}  // namespace rfid_image::formats

#endif  // RFID_IMAGE_FORMATS_H
