// The Flipper Zero's NFC device file for a MIFARE Classic 1K card: "Key:
// value" lines and '#' comments, each block as 16 bytes of two hex digits
// separated by spaces, "??" for a byte that is not known. ATQA is written in
// the Flipper's byte order (00 04), the reverse of the image's (04 00, as the
// card sends it and the Proxmark3's JSON writes it).
#include <algorithm>
#include <sstream>

#include "formats.h"

namespace rfid_image::formats {
namespace {

const char kFileType[] = "Flipper NFC device";
const char kDeviceType[] = "Mifare Classic";
const char kClassic1K[] = "1K";
const char kBlockPrefix[] = "Block ";
const char kUnknownByte[] = "??";
constexpr int kOldestVersion = 2;
constexpr int kNewestVersion = 4;
constexpr int kDataFormatVersion = 2;
constexpr std::size_t kUidSizes[] = {4, 7, 10};
// What a MIFARE Classic 1K answers (kClassicSak, kClassicAtqa), written
// where an image does not say: the Flipper needs both to emulate the card.
constexpr std::array<std::uint8_t, 2> kClassicAtqaLongUid = {0x44, 0x00};

using Bytes = std::vector<std::optional<std::uint8_t>>;

// "0A 8B ?? F2": each token two hex digits of either case, or "??" (empty).
// Nothing when a token is neither.
std::optional<Bytes> parseBytes(const std::string& value) {
  std::istringstream tokens(value);
  Bytes bytes;
  for (std::string token; tokens >> token;) {
    std::uint8_t byte = 0;
    if (token == kUnknownByte) {
      bytes.emplace_back();
    } else if (parseHex(token, &byte, 1)) {
      bytes.emplace_back(byte);
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

// The bytes from `first` on, when every one is known.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> knownPart(const Bytes& bytes, std::size_t first) {
  std::array<std::uint8_t, N> part{};
  for (std::size_t i = 0; i < N; ++i) {
    if (!bytes[first + i]) return std::nullopt;
    part[i] = *bytes[first + i];
  }
  return part;
}

std::string bytesText(const std::uint8_t* bytes, std::size_t count) {
  return toHex(bytes, count, " ");
}

// Known bytes as hex, unknown ones as "??", each followed by a space.
template <std::size_t N>
std::string partText(const std::optional<std::array<std::uint8_t, N>>& part) {
  std::string text;
  for (std::size_t i = 0; i < N; ++i) text += (part ? toHex(&(*part)[i], 1) : kUnknownByte) + " ";
  return text;
}

struct FlipperReader {
  CardImage image;
  std::array<bool, kBlockCount> seen{};
  int line = 0;
  int entries = 0;
  int uidLine = 0;
  int blockZeroLine = 0;
  bool version = false;
  bool deviceType = false;
  bool classicType = false;
  std::string error;

  bool fail(const std::string& message) {
    error = lineError(line, message);
    return false;
  }

  bool entry(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return fail("expected \"Key: value\"");
    const std::string key = trim(text.substr(0, colon));
    const std::string value = trim(text.substr(colon + 1));
    if (entries++ == 0 && (key != "Filetype" || value != kFileType)) {
      return fail("expected \"Filetype: Flipper NFC device\": not a Flipper Zero NFC file");
    }
    if (key == "Version") return versionEntry(value);
    if (key == "Device type") return deviceTypeEntry(value);
    if (key == "Mifare Classic type") return classicTypeEntry(value);
    if (key == "UID") return uidEntry(value);
    if (key == "ATQA") return atqaEntry(value);
    if (key == "SAK") return sakEntry(value);
    if (key.rfind(kBlockPrefix, 0) == 0)
      return blockEntry(key.substr(sizeof kBlockPrefix - 1), value);
    return true;  // "Filetype", "Data format version" and keys of later versions
  }

  bool versionEntry(const std::string& value) {
    const auto number = rfid_hex::smallDecimal(value, 100, false);
    if (!number || *number < kOldestVersion || *number > kNewestVersion) {
      return fail("version " + value + ": versions 2 to 4 are read");
    }
    version = true;
    return true;
  }
  bool deviceTypeEntry(const std::string& value) {
    if (value != kDeviceType) {
      return fail("device type " + value + ": only Mifare Classic 1K cards are read");
    }
    deviceType = true;
    return true;
  }
  bool classicTypeEntry(const std::string& value) {
    if (value != kClassic1K) {
      return fail("a Mifare Classic " + value + " card: only 1K cards (64 blocks) are read");
    }
    classicType = true;
    return true;
  }
  bool uidEntry(const std::string& value) {
    const auto bytes = parseBytes(value);
    const bool sized = bytes && std::find(std::begin(kUidSizes), std::end(kUidSizes),
                                          bytes->size()) != std::end(kUidSizes);
    if (!sized || std::any_of(bytes->begin(), bytes->end(), [](const auto& b) { return !b; })) {
      return fail("expected a UID of 4, 7 or 10 bytes, each two hex digits");
    }
    image.uid = std::vector<std::uint8_t>();
    for (const auto& byte : *bytes) image.uid->push_back(*byte);
    uidLine = line;
    return true;
  }
  bool atqaEntry(const std::string& value) {
    const auto bytes = parseBytes(value);
    const auto atqa = bytes && bytes->size() == 2 ? knownPart<2>(*bytes, 0) : std::nullopt;
    if (!atqa) return fail("expected ATQA as 2 bytes, each two hex digits");
    image.atqa = {{(*atqa)[1], (*atqa)[0]}};
    return true;
  }
  bool sakEntry(const std::string& value) {
    const auto bytes = parseBytes(value);
    const auto sak = bytes && bytes->size() == 1 ? knownPart<1>(*bytes, 0) : std::nullopt;
    if (!sak) return fail("expected SAK as 1 byte of two hex digits");
    image.sak = (*sak)[0];
    return true;
  }

  bool blockEntry(const std::string& number, const std::string& value) {
    const auto block = rfid_hex::smallDecimal(number, kBlockCount, false);
    if (!block) return fail("a block number is 0 to 63 (a MIFARE Classic 1K card)");
    const auto at = static_cast<std::size_t>(*block);
    if (seen[at]) return fail("block " + number + " appears twice");
    seen[at] = true;
    const auto bytes = parseBytes(value);
    if (!bytes) return fail("expected 16 bytes, each two hex digits or ?? where unknown");
    if (bytes->size() != kBlockSize) {
      return fail("block " + number + " has " + std::to_string(bytes->size()) +
                  " bytes: a block has 16");
    }
    if (*block == 0) blockZeroLine = line;
    if (!isSectorTrailer(*block)) {
      image.blocks[at] = knownPart<kBlockSize>(*bytes, 0);  // one unknown byte: the block unknown
      return true;
    }
    const auto sector = static_cast<std::size_t>(sectorOf(*block));
    image.keyA[sector] = knownPart<kKeySize>(*bytes, kKeyAOffset);
    image.keyB[sector] = knownPart<kKeySize>(*bytes, kKeyBOffset);
    if (const auto access = knownPart<kAccessSize>(*bytes, kAccessOffset)) {
      image.blocks[at] = Block{};
      std::copy(access->begin(), access->end(), image.blocks[at]->begin() + kAccessOffset);
    }
    return true;
  }

  bool finish(int lastLine) {
    line = lastLine;
    if (entries == 0) return fail("expected \"Filetype: Flipper NFC device\": the file is empty");
    if (!version) return fail("no \"Version\" line");
    if (!deviceType) return fail("no \"Device type\" line");
    if (!classicType) return fail("no \"Mifare Classic type\" line");
    if (image.uid && image.blocks[0] &&
        !std::equal(image.uid->begin(), image.uid->end(), image.blocks[0]->begin())) {
      line = std::max(uidLine, blockZeroLine);
      return fail(line == uidLine ? "the UID differs from the start of block 0 (line " +
                                        std::to_string(blockZeroLine) + ")"
                                  : "block 0 does not begin with the UID (line " +
                                        std::to_string(uidLine) + ")");
    }
    return true;
  }
};

// The UID a file gets: the image's, else block 0's first 4 bytes.
std::optional<std::vector<std::uint8_t>> uidToWrite(const CardImage& image) {
  if (image.uid) return image.uid;
  if (!image.blocks[0]) return std::nullopt;
  return std::vector<std::uint8_t>(image.blocks[0]->begin(), image.blocks[0]->begin() + 4);
}

}  // namespace

std::optional<CardImage> parseFlipper(const std::string& text, std::string& error) {
  FlipperReader reader;
  std::istringstream lines(text);
  bool going = true;
  for (std::string line; going && std::getline(lines, line);) {
    ++reader.line;
    line = trim(line);
    if (!line.empty() && line[0] != '#') going = reader.entry(line);
  }
  if (going) reader.finish(std::max(reader.line, 1));
  error = reader.error;
  if (!error.empty()) return std::nullopt;
  return reader.image;
}

std::optional<std::string> formatFlipper(const CardImage& image, std::string& error) {
  const auto uid = uidToWrite(image);
  if (uid && image.blocks[0] && !std::equal(uid->begin(), uid->end(), image.blocks[0]->begin())) {
    error = "the UID differs from the start of block 0, which .nfc cannot hold: save as .json";
    return std::nullopt;
  }
  const bool longUid = uid && uid->size() > 4;
  const auto atqa = image.atqa.value_or(longUid ? kClassicAtqaLongUid : kClassicAtqa);
  const std::uint8_t sak = image.sak.value_or(kClassicSak);
  std::string text = std::string("Filetype: ") + kFileType +
                     "\nVersion: " + std::to_string(kNewestVersion) +
                     "\nDevice type: " + kDeviceType + "\n";
  if (uid) text += "UID: " + bytesText(uid->data(), uid->size()) + "\n";
  text += "ATQA: " + toHex(&atqa[1], 1) + " " + toHex(&atqa[0], 1) + "\n";
  text += "SAK: " + toHex(&sak, 1) + "\n";
  text += std::string("Mifare Classic type: ") + kClassic1K +
          "\nData format version: " + std::to_string(kDataFormatVersion) +
          "\n# ?? marks a byte that is not known\n";
  for (int block = 0; block < kBlockCount; ++block) {
    const auto& stored = image.blocks[static_cast<std::size_t>(block)];
    std::string bytes;
    if (!isSectorTrailer(block)) {
      bytes = partText(stored);
    } else {
      const auto sector = static_cast<std::size_t>(sectorOf(block));
      std::optional<std::array<std::uint8_t, kAccessSize>> access;
      if (stored) {
        access.emplace();
        std::copy_n(stored->begin() + kAccessOffset, kAccessSize, access->begin());
      }
      bytes = partText(image.keyA[sector]) + partText(access) + partText(image.keyB[sector]);
    }
    bytes.pop_back();
    text += kBlockPrefix + std::to_string(block) + ": " + bytes + "\n";
  }
  return text;
}

}  // namespace rfid_image::formats
