// The line-based formats: the Proxmark3's .eml and the MIFARE Classic
// Tool's .mct.
#include <algorithm>
#include <sstream>

#include "formats.h"

namespace rfid_image::formats {
namespace {

constexpr std::size_t kBlockDigits = 2 * kBlockSize;
const char kUnknownMark = '-';
const char kSectorHeader[] = "+Sector:";

bool allUnknown(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == kUnknownMark; });
}

// Calls `visit(number, line)` for each line that holds something, lines
// counted from 1, until it returns false.
template <typename Visit>
int forEachLine(const std::string& text, Visit visit) {
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    line = trim(line);
    if (!line.empty() && !visit(number, line)) break;
  }
  return number;
}

// One part of an .mct block line: hex digits, or all '-' when unknown.
// False when it is neither.
template <std::size_t N>
bool parsePart(const std::string& text, std::optional<std::array<std::uint8_t, N>>& part) {
  if (allUnknown(text)) {
    part.reset();
    return true;
  }
  part = parseHex<N>(text);
  return part.has_value();
}

template <std::size_t N>
std::string partText(const std::optional<std::array<std::uint8_t, N>>& part) {
  return part ? toHex(*part) : std::string(2 * N, kUnknownMark);
}

using AccessBytes = std::array<std::uint8_t, kAccessSize>;

struct MctReader {
  CardImage image;
  std::array<bool, kSectorCount> seen{};
  int sector = -1;
  int blocksRead = kBlocksPerSector;
  std::string error;

  bool fail(int line, const std::string& message) {
    error = lineError(line, message);
    return false;
  }
  bool sectorHeader(int line, const std::string& text) {
    if (blocksRead < kBlocksPerSector) return missingBlocks(line);
    const std::string number = trim(text.substr(sizeof kSectorHeader - 1));
    if (number.empty() || number.size() > 2 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoi(number) >= kSectorCount) {
      return fail(line, "expected \"+Sector: N\" with N from 0 to 15");
    }
    sector = std::stoi(number);
    if (seen[static_cast<std::size_t>(sector)]) {
      return fail(line, "sector " + number + " appears twice");
    }
    seen[static_cast<std::size_t>(sector)] = true;
    blocksRead = 0;
    return true;
  }
  bool missingBlocks(int line) {
    return fail(line, "sector " + std::to_string(sector) + " has " + std::to_string(blocksRead) +
                          " of its 4 block lines");
  }
  bool blockLine(int line, const std::string& text) {
    if (sector < 0) return fail(line, "expected \"+Sector: N\" before the first block");
    if (blocksRead == kBlocksPerSector) {
      return fail(line, "sector " + std::to_string(sector) + " has more than 4 block lines");
    }
    const int block = sector * kBlocksPerSector + blocksRead++;
    if (text.size() != kBlockDigits) {
      return fail(line, "expected 32 hex digits, or 32 '-' for a block that was not read");
    }
    auto& stored = image.blocks[static_cast<std::size_t>(block)];
    if (!isSectorTrailer(block)) {
      if (!parsePart(text, stored)) {
        return fail(line, "expected 32 hex digits, or 32 '-' for a block that was not read");
      }
      return true;
    }
    std::optional<AccessBytes> access;
    const auto at = static_cast<std::size_t>(sector);
    if (!parsePart(text.substr(0, 2 * kKeySize), image.keyA[at]) ||
        !parsePart(text.substr(2 * kAccessOffset, 2 * kAccessSize), access) ||
        !parsePart(text.substr(2 * kKeyBOffset), image.keyB[at])) {
      return fail(line,
                  "a sector trailer is key A (12), access bits (8) and key B (12), each hex "
                  "digits or '-' where unknown");
    }
    if (access) {
      stored = Block{};
      std::copy(access->begin(), access->end(), stored->begin() + kAccessOffset);
    }
    return true;
  }
};

}  // namespace

std::string trim(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

std::string lineError(int number, const std::string& message) {
  return "line " + std::to_string(number) + ": " + message;
}

std::optional<CardImage> parseEml(const std::string& text, std::string& error) {
  Memory memory{};
  int blocks = 0;
  error.clear();
  const int lines = forEachLine(text, [&](int number, const std::string& line) {
    if (line[0] == '#') return true;
    if (blocks == kBlockCount) {
      error = lineError(number, "more than 64 blocks: a MIFARE Classic 1K card has 64");
    } else if (line.find(kUnknownMark) != std::string::npos) {
      error = lineError(number,
                        "'-' marks unknown bytes, which .eml cannot hold: use .mct or .json for "
                        "a dump with unread blocks");
    } else if (!parseHex(line, memory.data() + blocks * kBlockSize, kBlockSize)) {
      error = lineError(number, "expected 32 hex digits");
    }
    ++blocks;
    return error.empty();
  });
  if (error.empty() && blocks < kBlockCount) {
    error = lineError(std::max(lines, 1), "the file ends after " + std::to_string(blocks) +
                                              " blocks: a MIFARE Classic 1K card has 64");
  }
  if (!error.empty()) return std::nullopt;
  return imageOfMemory(memory);
}

std::string formatEml(const CardImage& image) {
  const Memory memory = memoryOfImage(image);
  std::string text;
  for (int block = 0; block < kBlockCount; ++block) {
    text += toHex(memory.data() + block * kBlockSize, kBlockSize) + "\n";
  }
  return text;
}

std::optional<CardImage> parseMct(const std::string& text, std::string& error) {
  MctReader reader;
  const int lines = forEachLine(text, [&reader](int number, const std::string& line) {
    return line.rfind(kSectorHeader, 0) == 0 ? reader.sectorHeader(number, line)
                                             : reader.blockLine(number, line);
  });
  if (reader.error.empty() && reader.blocksRead < kBlocksPerSector) reader.missingBlocks(lines);
  error = reader.error;
  if (!error.empty()) return std::nullopt;
  return reader.image;
}

std::string formatMct(const CardImage& image) {
  std::string text;
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const auto at = static_cast<std::size_t>(sector);
    const int first = sector * kBlocksPerSector;
    bool known = image.keyA[at] || image.keyB[at];
    for (int block = first; block < first + kBlocksPerSector; ++block) {
      known = known || image.blocks[static_cast<std::size_t>(block)];
    }
    if (!known) continue;  // the MIFARE Classic Tool leaves out a sector it could not read
    text += std::string(kSectorHeader) + " " + std::to_string(sector) + "\n";
    for (int block = first; block < first + kBlocksPerSector; ++block) {
      const auto& stored = image.blocks[static_cast<std::size_t>(block)];
      if (!isSectorTrailer(block)) {
        text += partText(stored) + "\n";
        continue;
      }
      std::optional<AccessBytes> access;
      if (stored) {
        access = AccessBytes{};
        std::copy_n(stored->begin() + kAccessOffset, kAccessSize, access->begin());
      }
      text += partText(image.keyA[at]) + partText(access) + partText(image.keyB[at]) + "\n";
    }
  }
  return text;
}

}  // namespace rfid_image::formats
