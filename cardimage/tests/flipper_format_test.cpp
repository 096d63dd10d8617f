// The Flipper Zero's .nfc files: hand-written files with their edge cases,
// the files refused, and the round trip through the other text formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "rfid_hex/hex.h"
#include "rfid_image/image_file.h"
#include "sample_card.h"

namespace rfid_image::testing {
namespace {

// The sample card with block 0 of a 7-byte UID card.
CardImage sampleCard() {
  Memory memory = patternMemory(13);
  const std::uint8_t blockZero[] = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x08, 0x44, 0x00};
  std::copy(std::begin(blockZero), std::end(blockZero), memory.begin());
  CardImage image = imageOfMemory(memory);
  image.uid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  image.atqa = {{0x44, 0x00}};
  image.sak = 0x08;
  return image;
}

const char kHeader[] =
    "Filetype: Flipper NFC device\nVersion: 4\n# a comment\nDevice type: Mifare Classic\n"
    "UID: 04 11 22 33 44 55 66\nATQA: 00 44\nSAK: 08\nMifare Classic type: 1K\n"
    "Data format version: 2\n";
constexpr int kHeaderLines = 9;

// The card's "Block N:" lines, `edit(block, bytes)` applied to each; an
// empty edit leaves the line out.
template <typename Edit>
std::string blockLines(const CardImage& card, Edit edit) {
  std::string text;
  for (int block = 0; block < kBlockCount; ++block) {
    const std::string bytes = edit(block, rfid_hex::toHex(blockOf(card, block), " "));
    if (!bytes.empty()) text += "Block " + std::to_string(block) + ": " + bytes + "\n";
  }
  return text;
}

std::string sampleFile() {
  return kHeader + blockLines(sampleCard(), [](int, const std::string& bytes) { return bytes; });
}

std::string withLine(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(FlipperFormat, AnOlderFileWithUnknownBytesLoadsAndFilesOfOtherCardsAreRefusedByLine) {
  const CardImage card = sampleCard();
  // Version 2; key A of sector 1, the access bits of sector 2 and one byte
  // of block 9 unknown; lower case; blocks 60 to 63 left out.
  std::string error;
  const std::string partialText =
      withLine(kHeader, "Version: 4", "Version: 2") +
      blockLines(card, [](int block, std::string bytes) {
        if (block == 7) bytes.replace(0, 17, "?? ?? ?? ?? ?? ??");
        if (block == 11) bytes.replace(18, 11, "?? ?? ?? ??");
        if (block == 9) bytes.replace(45, 2, "??");
        if (block == 5) std::transform(bytes.begin(), bytes.end(), bytes.begin(), ::tolower);
        return block >= 60 ? std::string() : bytes;
      });
  CardImage partial = card;
  partial.keyA[1].reset();
  partial.blocks[11].reset();
  partial.blocks[9].reset();
  for (int block = 60; block < 64; ++block) partial.blocks[static_cast<std::size_t>(block)].reset();
  partial.keyA[15].reset();
  partial.keyB[15].reset();
  const auto loaded = parseImage(partialText, Format::kNfc, error);
  ASSERT_TRUE(loaded.has_value()) << error;
  EXPECT_TRUE(*loaded == partial);

  const std::string file = sampleFile();
  const std::string block4 = "Block 4: " + rfid_hex::toHex(*card.blocks[4], " ");
  const auto at = [](int line) { return "line " + std::to_string(line) + ": "; };
  const std::pair<std::string, std::string> refused[] = {
      {withLine(file, "Flipper NFC device", "Flipper RFID key"), at(1) + "expected \"Filetype"},
      {withLine(file, "Version: 4", "Version: 5"), at(2) + "version 5: versions 2 to 4 are read"},
      {withLine(file, "Mifare Classic\n", "NTAG/Ultralight\n"), at(4) + "device type NTAG/"},
      {withLine(file, "type: 1K", "type: 4K"), at(8) + "a Mifare Classic 4K card: only 1K"},
      {withLine(file, "type: 1K", "type: Mini"), at(8) + "a Mifare Classic Mini card"},
      {withLine(file, "UID: 04 11 22", "UID: 04 11 23"),
       at(kHeaderLines + 1) + "block 0 does not begin with the UID (line 5)"},
      {withLine(file, block4, block4 + " 00"), at(kHeaderLines + 5) + "block 4 has 17 bytes"},
      {withLine(file, "Block 4:", "Block 5:"), at(kHeaderLines + 6) + "block 5 appears twice"},
      {file + "Block 64: 00\n", at(kHeaderLines + 65) + "a block number is 0 to 63"},
  };
  for (const auto& [text, fault] : refused) {
    EXPECT_FALSE(parseImage(text, Format::kNfc, error).has_value()) << fault;
    EXPECT_EQ(error.rfind(fault, 0), 0u) << "got: " << error << "\nwanted: " << fault;
    EXPECT_EQ(error.find("A0 A1"), std::string::npos) << error;
  }
}

TEST(FlipperFormat, RoundTripsThroughJsonAndMctAndConvertsTheAtqa) {
  CardImage card = sampleCard();
  card.uid = {0x04, 0x11, 0x22, 0x33};
  card.blocks[0] = manufacturerBlock({0x04, 0x11, 0x22, 0x33});
  card.atqa = {{0x04, 0x00}};
  card.keyA[3].reset();
  card.keyB[6].reset();
  card.blocks[20].reset();
  std::vector<std::string> warnings;
  std::string error;
  const auto nfc = formatImage(card, Format::kNfc, "test", warnings, error);
  ASSERT_TRUE(nfc.has_value()) << error;
  EXPECT_NE(nfc->find("\nATQA: 00 04\nSAK: 08\n"), std::string::npos) << *nfc;
  EXPECT_NE(nfc->find("\nBlock 15: ?? ?? ?? ?? ?? ?? FF 07 80 69 B0 B1"), std::string::npos);
  EXPECT_NE(nfc->find("\nBlock 20: ??"), std::string::npos);

  std::string text = *nfc;
  for (const Format format : {Format::kNfc, Format::kJson, Format::kMct}) {
    const auto image = parseImage(text, format, error);
    ASSERT_TRUE(image.has_value()) << formatName(format) << ": " << error;
    const Format next = format == Format::kNfc    ? Format::kJson
                        : format == Format::kJson ? Format::kMct
                                                  : Format::kNfc;
    text = formatImage(*image, next, "test", warnings, error).value_or(error);
    if (next == Format::kMct) continue;
    EXPECT_NE(text.find(next == Format::kJson ? "\"ATQA\": \"0400\"" : "ATQA: 00 04"),
              std::string::npos)
        << text;
  }
  EXPECT_EQ(text, *nfc) << "nfc -> json -> mct -> nfc";
  EXPECT_TRUE(warnings.empty());

  card.uid = {0x04, 0x11, 0x22, 0x34};
  EXPECT_FALSE(formatImage(card, Format::kNfc, "test", warnings, error).has_value());
  EXPECT_EQ(error,
            "the UID differs from the start of block 0, which .nfc cannot hold: save as .json");
  EXPECT_EQ(formatFromPath("dir/card.NFC"), Format::kNfc);
  EXPECT_EQ(formatFromName("nfc"), Format::kNfc);
}

}  // namespace
}  // namespace rfid_image::testing
