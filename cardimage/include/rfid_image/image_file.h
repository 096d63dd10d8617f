// Card-dump files in the formats of other MIFARE tools:
// - binary (.mfd, .bin): libnfc's and the Proxmark3's 1024 bytes, block 0
//   first; it cannot mark anything unknown, so unknown blocks and keys are
//   written as zeros, with a warning.
// - eml (.eml): the Proxmark3's emulator text, 64 lines of 32 hex digits;
//   reading takes lower case and skips lines that start with '#'. It cannot
//   mark anything unknown either, and refuses an image with unknown parts.
// - json (.json): the Proxmark3 client's "mfc v2" object (reading also takes
//   "mfcard" and ignores keys it does not know); an unknown block or key is
//   left out.
// - mct (.mct): the MIFARE Classic Tool's "+Sector: N" text; an unknown
//   block is 32 '-', an unknown key 12 '-', an unknown sector is left out.
// - nfc (.nfc): the Flipper Zero's "Key: value" text (versions 2 to 4 read,
//   4 written); an unknown byte is "??", and a data block with one is
//   unknown whole. Other device types and cards other than 1K are refused,
//   and so is a UID that differs from the start of block 0, both ways.
// Parsing and formatting are pure functions of the text; errors name the
// line ("line 7: ...") or the JSON key ("\"blocks\".\"5\": ...") and never
// show a key's value.
#ifndef RFID_IMAGE_IMAGE_FILE_H
#define RFID_IMAGE_IMAGE_FILE_H

#include <optional>
#include <string>
#include <vector>

#include "rfid_image/card_image.h"

namespace rfid_image {

enum class Format { kBinary, kEml, kJson, kMct, kNfc };

// "mfd", "bin", "eml", "json", "mct" or "nfc", as --format takes them.
std::optional<Format> formatFromName(const std::string& name);
// By the file's extension, of either case; empty for any other.
std::optional<Format> formatFromPath(const std::string& path);
// The format of a file named `path`: by its extension, and binary for any
// other name, the layout that card files and saved dumps have always had.
Format formatForPath(const std::string& path);
// The extension's name of a format ("mfd" for binary).
const char* formatName(Format format);

// The image that `content` holds; empty, with `error` set, when it is
// malformed.
std::optional<CardImage> parseImage(const std::string& content, Format format, std::string& error);

// The file content for `image`. `creator` fills the JSON's "Created". A
// binary image with unknown parts gets one warning; eml refuses one, and nfc
// one whose UID differs from block 0: empty, with `error` set.
std::optional<std::string> formatImage(const CardImage& image, Format format,
                                       const std::string& creator,
                                       std::vector<std::string>& warnings, std::string& error);

// The same on files. Errors start with the path. A file is replaced whole
// (written beside it, then renamed) with mode 0600, as it holds keys.
std::optional<CardImage> readImageFile(const std::string& path, Format format, std::string& error);
bool writeImageFile(const std::string& path, const CardImage& image, Format format,
                    const std::string& creator, std::vector<std::string>& warnings,
                    std::string& error);

}  // namespace rfid_image

#endif  // RFID_IMAGE_IMAGE_FILE_H
