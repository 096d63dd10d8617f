// The parsers and writers of each format, and the text helpers they share. Not
// installed: image_file.h is the library's interface.
#ifndef RFID_IMAGE_FORMATS_H
#define RFID_IMAGE_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "rfid_hex/hex.h"
#include "rfid_image/card_image.h"

namespace rfid_image::formats {

using rfid_hex::parseHex;
using rfid_hex::toHex;

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

std::optional<CardImage> parseFlipper(const std::string& text, std::string& error);
// Refuses an image whose UID differs from the start of block 0.
std::optional<std::string> formatFlipper(const CardImage& image, std::string& error);

}  // namespace rfid_image::formats

#endif  // RFID_IMAGE_FORMATS_H
