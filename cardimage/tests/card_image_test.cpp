// Card images: the access bits, and each dump format read from files
// written by hand (edge cases and faults) and written and read back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "rfid_image/image_file.h"
#include "sample_card.h"

namespace rfid_image::testing {
namespace {

// The sample card with block 0 of serial number 01020304.
CardImage sampleCard() {
  Memory memory = patternMemory(7);
  const Block zero = manufacturerBlock({0x01, 0x02, 0x03, 0x04});
  std::copy(zero.begin(), zero.end(), memory.begin());
  return imageOfMemory(memory);
}

std::string hexOf(const Block& block) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t byte : block) text += {kDigits[byte >> 4], kDigits[byte & 15]};
  return text;
}

// The sample card as .eml lines, `edit` applied to the text of each block.
template <typename Edit>
std::string emlOf(const CardImage& image, Edit edit) {
  std::string text;
  for (int block = 0; block < kBlockCount; ++block) {
    text += edit(block, hexOf(blockOf(image, block))) + "\n";
  }
  return text;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(AccessBits, EveryCombinationRoundTripsAndTheTransportValueIsTheFactoryOne) {
  for (unsigned packed = 0; packed < 8 * 8 * 8 * 8; ++packed) {
    const AccessConditions conditions = {
        static_cast<std::uint8_t>(packed & 7), static_cast<std::uint8_t>((packed >> 3) & 7),
        static_cast<std::uint8_t>((packed >> 6) & 7), static_cast<std::uint8_t>((packed >> 9) & 7)};
    const auto bytes = encodeAccessBits(conditions);
    ASSERT_EQ(decodeAccessBits(bytes.data()), conditions) << packed;
  }
  EXPECT_EQ(hexOf(transportTrailer()), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
  const std::uint8_t malformed[3] = {0xFF, 0x07, 0x81};
  EXPECT_FALSE(decodeAccessBits(malformed).has_value());
}

TEST(CardImageFormats, HandWrittenFilesLoadWithTheirEdgeCases) {
  const CardImage card = sampleCard();
  // A partial card: sector 3 not read at all, block 9 refused, key A of
  // sector 2 and key B of sector 1 not known.
  CardImage partial = card;
  for (int block = 12; block < 16; ++block) partial.blocks[static_cast<std::size_t>(block)].reset();
  partial.keyA[3].reset();
  partial.keyB[3].reset();
  partial.blocks[9].reset();
  partial.keyA[2].reset();
  partial.keyB[1].reset();

  std::string mct;
  for (int sector = kSectorCount - 1; sector >= 0; --sector) {  // any order
    if (sector == 3) continue;                                  // missing
    mct += (sector % 2 == 0 ? "+Sector: " : "+Sector:") + std::to_string(sector) + "\r\n";
    for (int block = sector * 4; block < sector * 4 + 4; ++block) {
      std::string line =
          hexOf(isSectorTrailer(block) ? card.trailer(sector)
                                       : *card.blocks[static_cast<std::size_t>(block)]);
      if (block == 9) line = std::string(32, '-');
      if (block == trailerOf(2)) line.replace(0, 12, 12, '-');
      if (block == trailerOf(1)) line.replace(20, 12, 12, '-');
      mct += (sector == 5 ? lower(line) : line) + "\n";
    }
  }
  std::string mfcard = R"({"Created": "proxmark3", "FileType": "mfcard", "Extra": [1, {"x": 2}],
    "Card": {"UID": "01020304", "ATQA": "0400", "SAK": "08", "ATS": ""}, "blocks": {)";
  for (int block = 0; block < kBlockCount; ++block) {
    Block data = isSectorTrailer(block) ? card.trailer(sectorOf(block))
                                        : *card.blocks[static_cast<std::size_t>(block)];
    if (block == trailerOf(4)) std::fill_n(data.begin(), kKeySize, 0);  // as a card reads key A
    mfcard += (block > 0 ? ", \"" : "\"") + std::to_string(block) + "\": \"" + hexOf(data) + "\"";
  }
  mfcard += R"(}, "SectorKeys": {"4": {"KeyA": "a0a1a2a3a4a5", "KeyB": "B0B1B2B3B4B5",
    "AccessConditions": "FF078069", "AccessConditionsText": {"block0": "read AB"}}}})";
  CardImage identified = card;
  identified.uid = {0x01, 0x02, 0x03, 0x04};
  identified.atqa = {{0x04, 0x00}};
  identified.sak = 0x08;

  struct Case {
    const char* name;
    Format format;
    std::string text;
    CardImage expected;
  };
  const Case cases[] = {
      {"eml in lower case, with # lines", Format::kEml,
       "# dumped by hand\n" + emlOf(card,
                                    [](int block, const std::string& line) {
                                      return block == 8 ? "#\n" + lower(line) : lower(line);
                                    }),
       card},
      {"mct in any order, sector 3 missing, '-' blocks and keys", Format::kMct, mct, partial},
      {"json mfcard with unknown keys; SectorKeys give key A", Format::kJson, mfcard, identified},
      {"binary", Format::kBinary,
       [&] {
         const Memory memory = memoryOfImage(card);
         return std::string(memory.begin(), memory.end());
       }(),
       card},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto image = parseImage(c.text, c.format, error);
    ASSERT_TRUE(image.has_value()) << c.name << ": " << error;
    EXPECT_TRUE(*image == c.expected) << c.name;
  }
}

TEST(CardImageFormats, MalformedFilesAreRefusedNamingTheLineOrKeyButNoKey) {
  const CardImage card = sampleCard();
  const auto eml = [&](int badBlock, const std::string& replacement) {
    return emlOf(card, [&](int block, const std::string& line) {
      return block == badBlock ? replacement : line;
    });
  };
  const std::string zeros = std::string(32, '0') + "\n";
  const std::string mctSector = "+Sector: 0\n" + eml(99, "").substr(0, 4 * 33);
  const std::string jsonHead =
      R"({"FileType": "mfc v2", "blocks": {"0": ")" + hexOf(*card.blocks[0]) + "\"}";
  struct Case {
    Format format;
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {Format::kEml, eml(5, std::string(16, '-') + std::string(16, 'A')),
       "line 6: '-' marks unknown bytes"},
      {Format::kEml, eml(0, "A0A1A2A3A4A5FF07"), "line 1: expected 32 hex digits"},
      {Format::kEml, eml(3, std::string(31, 'A') + "G"), "line 4: expected 32 hex digits"},
      {Format::kEml, eml(63, "#"), "line 64: the file ends after 63 blocks"},
      {Format::kEml, eml(99, "") + std::string(32, '0'), "line 65: more than 64 blocks"},
      {Format::kEml, "", "line 1: the file ends after 0 blocks"},
      {Format::kMct, std::string(32, '0') + "\n", "line 1: expected \"+Sector: N\" before"},
      {Format::kMct, "+Sector: 16\n", "line 1: expected \"+Sector: N\" with N from 0 to 15"},
      {Format::kMct, "+Sector: x1\n", "line 1: expected \"+Sector: N\""},
      {Format::kMct, mctSector + mctSector, "line 6: sector 0 appears twice"},
      {Format::kMct, "+Sector: 0\n" + std::string(32, '0') + "\n+Sector: 1\n",
       "line 3: sector 0 has 1 of its 4 block lines"},
      {Format::kMct, mctSector + std::string(32, '0') + "\n", "line 6: sector 0 has more than 4"},
      {Format::kMct, "+Sector: 0\n" + std::string(16, '-') + std::string(16, '0'),
       "line 2: expected 32 hex digits, or 32 '-'"},
      {Format::kMct,
       mctSector + "+Sector: 1\n" + zeros + zeros + zeros + "A0A1A2A3A4--FF078069" +
           std::string(12, '-'),
       "line 10: a sector trailer is key A (12), access bits (8) and key B (12)"},
      {Format::kMct, "# nothing\n", "line 1: expected \"+Sector: N\" before the first block"},
      {Format::kJson, "{\n  \"FileType\": \"mfc v2\",\n  \"blocks\": {,\n}", "line 3, column 14"},
      {Format::kJson, "[]", "the file: expected a JSON object"},
      {Format::kJson, "{\"blocks\": {}}", "\"FileType\": missing"},
      {Format::kJson, "{\"FileType\": \"mfu\", \"blocks\": {}}", "\"FileType\": expected"},
      {Format::kJson, "{\"FileType\": \"mfc v2\"}", "\"blocks\": missing"},
      {Format::kJson, "{\"FileType\": \"mfc v2\", \"blocks\": []}",
       "\"blocks\": expected an object"},
      {Format::kJson, R"({"FileType": "mfc v2", "blocks": {"64": ""}})",
       "\"blocks\".\"64\": a block number is 0 to 63"},
      {Format::kJson, R"({"FileType": "mfc v2", "blocks": {"05": ""}})",
       "\"blocks\".\"05\": a block"},
      {Format::kJson, R"({"FileType": "mfc v2", "blocks": {"5": "A0A1A2A3A4A5"}})",
       "\"blocks\".\"5\": expected a string of 32 hex digits"},
      {Format::kJson, R"({"FileType": "mfc v2", "blocks": {"5": 7}})",
       "\"blocks\".\"5\": expected"},
      {Format::kJson, jsonHead + R"(, "SectorKeys": {"3": {"KeyA": "A0A1A2A3A4"}}})",
       "\"SectorKeys\".\"3\".\"KeyA\": expected a string of 12 hex digits"},
      {Format::kJson, jsonHead + R"(, "SectorKeys": {"16": {}}})",
       "\"SectorKeys\".\"16\": a sector"},
      {Format::kJson, jsonHead + R"(, "SectorKeys": {"0": "A0A1A2A3A4A5"}})",
       "\"SectorKeys\".\"0\": expected an object"},
      {Format::kJson,
       R"({"FileType": "mfc v2", "blocks": {"3": "A0A1A2A3A4A5FF078069B0B1B2B3B4B5"},
           "SectorKeys": {"0": {"AccessConditions": "7F078869"}}})",
       "\"SectorKeys\".\"0\".\"AccessConditions\": differs from bytes 6 to 9 of block 3"},
      {Format::kJson, R"({"FileType": "mfc v2", "Card": {"UID": "A0A1A2"}, "blocks": {}})",
       "\"Card\".\"UID\": expected 8, 14 or 20 hex digits"},
      {Format::kJson, R"({"FileType": "mfc v2", "Card": {"SAK": 8}, "blocks": {}})",
       "\"Card\".\"SAK\": expected a string of 2 hex digits"},
      {Format::kBinary, std::string(1023, '\0'), "holds 1023 bytes"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(parseImage(c.text, c.format, error).has_value()) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error << "\nwanted: " << c.error;
    EXPECT_EQ(error.find("A0A1"), std::string::npos) << error;
  }
}

TEST(CardImageFormats, ImagesRoundTripThroughEveryFormatAsFarAsTheFormatCanSay) {
  CardImage full = sampleCard();
  full.uid = {0x01, 0x02, 0x03, 0x04};
  full.atqa = {{0x04, 0x00}};
  full.sak = 0x08;
  CardImage partial = full;
  for (int block : {8, 9, 10, 11, 20}) partial.blocks[static_cast<std::size_t>(block)].reset();
  partial.keyA[2].reset();
  partial.keyA[5].reset();
  partial.keyB[2].reset();
  partial.keyB[7].reset();
  const auto withoutCardData = [](CardImage image) {
    image.uid.reset();
    image.atqa.reset();
    image.sak.reset();
    return image;
  };

  for (const Format format : {Format::kBinary, Format::kEml, Format::kJson, Format::kMct}) {
    SCOPED_TRACE(formatName(format));
    const bool keepsCardData = format == Format::kJson;
    for (const bool partialImage : {false, true}) {
      const CardImage& image = partialImage ? partial : full;
      std::vector<std::string> warnings;
      std::string error;
      const auto text = formatImage(image, format, "test", warnings, error);
      if (format == Format::kEml && partialImage) {
        EXPECT_FALSE(text.has_value());
        EXPECT_EQ(error,
                  "blocks 8-11, 20; key A of sectors 2, 5; key B of sectors 2, 7 unknown, "
                  "which .eml cannot mark: save as .mct or .json");
        continue;
      }
      ASSERT_TRUE(text.has_value()) << error;
      const auto back = parseImage(*text, format, error);
      ASSERT_TRUE(back.has_value()) << error << "\n" << *text;
      CardImage expected = keepsCardData ? image : withoutCardData(image);
      if (format == Format::kBinary && partialImage) {
        expected = imageOfMemory(memoryOfImage(image));
        EXPECT_EQ(warnings.size(), 1u);
      }
      EXPECT_TRUE(*back == expected) << *text;
    }
  }
}

TEST(CardImage, UnknownPartsTakeFactoryDefaultsAndTheFormatFollowsTheExtension) {
  CardImage image;
  image.uid = {0x0A, 0x0B, 0x0C, 0x0D};
  image.blocks[1] = Block{1};
  image.keyA[4] = kKeyA;
  const CardImage filled = withFactoryDefaults(image, {1, 2, 3, 4});
  EXPECT_EQ(describeUnknown(filled), "");
  EXPECT_EQ(*filled.blocks[0], manufacturerBlock({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(*filled.blocks[1], Block{1});
  EXPECT_EQ(filled.trailer(4), [] {
    Block trailer = transportTrailer();
    std::copy(kKeyA.begin(), kKeyA.end(), trailer.begin());
    return trailer;
  }());
  EXPECT_EQ(*withFactoryDefaults(CardImage{}, {1, 2, 3, 4}).blocks[0],
            manufacturerBlock({1, 2, 3, 4}));

  const std::pair<const char*, std::optional<Format>> paths[] = {
      {"a.MFD", Format::kBinary},    {"b.bin", Format::kBinary}, {"dir/c.eml", Format::kEml},
      {"d.Json", Format::kJson},     {"e.mct", Format::kMct},    {"card", std::nullopt},
      {"x.json/card", std::nullopt}, {"f.txt", std::nullopt}};
  for (const auto& [path, format] : paths) EXPECT_EQ(formatFromPath(path), format) << path;
  EXPECT_EQ(formatForPath("card"), Format::kBinary);
  EXPECT_EQ(formatFromName("bin"), Format::kBinary);
  EXPECT_EQ(formatFromName("MCT"), std::nullopt);
}

TEST(CardImageFile, IsWrittenPrivatelyAndReadBackWithErrorsNamingThePath) {
  char directory[] = "/tmp/rfid-image-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/card.json";
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(writeImageFile(path, sampleCard(), Format::kJson, "test", warnings, error)) << error;
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const auto back = readImageFile(path, Format::kJson, error);
  ASSERT_TRUE(back.has_value()) << error;
  EXPECT_TRUE(*back == sampleCard());

  EXPECT_FALSE(readImageFile(path, Format::kMct, error).has_value());
  EXPECT_EQ(error.rfind(path + ", line 1: ", 0), 0u) << error;
  EXPECT_FALSE(writeImageFile(std::string(directory) + "/no/such.eml", sampleCard(), Format::kEml,
                              "test", warnings, error));
  EXPECT_EQ(error.rfind(std::string(directory) + "/no/such.eml: ", 0), 0u) << error;
  ::unlink(path.c_str());
  ::rmdir(directory);
}

}  // namespace
}  // namespace rfid_image::testing
