// Key files: what loads, what is refused and how, and that keys stay private.
#include "rfid_keys/key_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace rfid_keys {
namespace {

TEST(KeyFileTest, ParsesSectorsCommentsAndBlankLinesAndRefusesWithTheLineOnly) {
  SectorKeys keys;
  ASSERT_EQ(parseKeyFile("# keys\n\n 1 : a0a1a2a3a4a5  # sector 1\r\n15:FFFFFFFFFFFF\n", keys),
            std::nullopt);
  EXPECT_EQ(keys[1], (Key{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
  EXPECT_EQ(keys[15], (Key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_FALSE(keys[0]);

  const std::pair<const char*, const char*> faults[] = {
      {"A0A1A2A3A4A5\n", "line 1: expected SECTOR:KEY (e.g. 1:FFFFFFFFFFFF)"},
      {"\n16:A0A1A2A3A4A5\n", "line 2: the sector must be 0 to 15"},
      {"x:A0A1A2A3A4A5\n", "line 1: the sector must be 0 to 15"},
      {"1:A0A1A2A3A4\n", "line 1: the key must be 12 hex digits"},
      {"1:A0A1A2A3A4G5\n", "line 1: the key must be 12 hex digits"},
      {"1:A0A1A2A3A4A5\n1:B0B1B2B3B4B5\n", "line 2: sector 1 is given twice"},
  };
  for (const auto& [text, fault] : faults) {
    SectorKeys untouched;
    untouched[3] = Key{};
    EXPECT_EQ(parseKeyFile(text, untouched), std::string(fault)) << text;
    EXPECT_TRUE(untouched[3]) << "a refused file changes nothing";
  }
}

TEST(KeyFileTest, DictionariesKeepTheirOrderOnceEachAndRefuseWithTheLineOnly) {
  std::vector<Key> keys;
  ASSERT_EQ(
      parseKeyList("# public keys\nffffffffffff\n\n A0A1A2A3A4A5 # MAD\r\nFFFFFFFFFFFF\n", keys),
      std::nullopt);
  EXPECT_EQ(keys, (std::vector<Key>{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                    {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}}));
  for (const char* text : {"A0A1A2A3A4\n", "\n1:A0A1A2A3A4A5\n", "A0A1A2A3A4A5 B0B1B2B3B4B5\n"}) {
    const auto fault = parseKeyList(text, keys);
    ASSERT_TRUE(fault) << text;
    EXPECT_EQ(fault->rfind("line ", 0), 0u) << *fault;
    EXPECT_EQ(fault->find("A0A1"), std::string::npos) << *fault;
  }
  EXPECT_EQ(keys.size(), 2u) << "a refused list changes nothing";
}

TEST(KeyFileTest, WritesPrivatelyReadsBackAndRefusesFilesOthersMayRead) {
  char directory[] = "/tmp/rfid-keys-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/keys";
  SectorKeys keys;
  keys[2] = Key{1, 2, 3, 4, 5, 6};
  keys[9] = Key{0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
  ASSERT_EQ(writeKeyFile(path, keys), std::nullopt);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);

  SectorKeys read;
  EXPECT_EQ(readKeyFile(path, true, read), std::nullopt);
  EXPECT_EQ(read, keys);

  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const std::optional<std::string> refused = readKeyFile(path, true, read);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->find("chmod 600"), std::string::npos) << *refused;
  EXPECT_EQ(refused->find("A0B1"), std::string::npos) << "no key in an error text";
  EXPECT_EQ(readKeyFile(path, false, read), std::nullopt);

  std::ofstream(path) << "9:A0B1C2D3E4F5\n9:A0B1C2D3E4F5\n";
  const std::optional<std::string> twice = readKeyFile(path, false, read);
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->find("A0B1"), std::string::npos) << *twice;
  EXPECT_TRUE(readKeyFile(std::string(directory) + "/missing", false, read));
  std::remove(path.c_str());
  rmdir(directory);
}

}  // namespace
}  // namespace rfid_keys
