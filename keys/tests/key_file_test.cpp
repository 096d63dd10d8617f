// Key files: what loads, what is refused and how, and that keys stay private.
#include "rfid_keys/key_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

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

// The exit status of `run` in a child, or -1 when it has not ended within
// three seconds (the child is then killed): a read that would block for
// ever fails the test instead of hanging it.
template <typename Run>
int statusWithin3s(Run run) {
  const pid_t child = fork();
  if (child == 0) _exit(run());
  for (int waited = 0; waited < 300; ++waited) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

TEST(KeyFileTest, AFifoIsRefusedAtOnceInsteadOfWaitedOn) {
  char directory[] = "/tmp/rfid-keys-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/keys";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(statusWithin3s([&] {
              SectorKeys keys;
              const auto fault = readKeyFile(path, true, keys);
              return fault && fault->find("is not a regular file") != std::string::npos ? 0 : 1;
            }),
            0);
  EXPECT_EQ(statusWithin3s([&] {
              std::vector<Key> keys;
              return readKeyList(path, keys) ? 0 : 1;
            }),
            0);
  std::remove(path.c_str());
  rmdir(directory);
}

// A binary key file: keys A are sector * 0x11 repeated, keys B 0xB0 + sector.
std::string binaryFile(std::size_t size) {
  std::string content;
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t sector = (i % kBinaryKeysASize) / kKeySize;
    content += static_cast<char>(i < kBinaryKeysASize ? sector * 0x11 : 0xB0 + sector);
  }
  return content;
}

TEST(KeyFileTest, EitherLayoutLoadsAndTheSelectorPicksTheHalfOfABinaryFile) {
  const Key keyA5 = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
  const Key keyB5 = {0xB5, 0xB5, 0xB5, 0xB5, 0xB5, 0xB5};
  const Key keyText = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  // A text file of exactly 96 bytes with a fault stays text.
  const std::string text96 = "5:A0A1A2A3A4A5\n# " + std::string(77, 'x') + "\nx";
  struct Case {
    std::string content;
    int selector;
    std::optional<Key> sector5;  // empty: refused
    const char* fault;
  };
  const Case cases[] = {
      {binaryFile(192), 0, keyA5, ""},
      {binaryFile(192), 1, keyB5, ""},
      {std::string(192, '\xFF'), 1, Key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, ""},
      {binaryFile(96), 0, keyA5, ""},
      {binaryFile(96), 1, std::nullopt, "holds keys A only (96 bytes): --key-selector 1 needs"},
      {binaryFile(192), 2, std::nullopt, "is a binary key file of keys A and B: use --key-sel"},
      {"# keys\n5:a0a1a2a3a4a5\n", 1, keyText, ""},
      {binaryFile(191), 0, std::nullopt, "holds 191 bytes: neither SECTOR:HEX12 lines nor a"},
      {text96, 0, std::nullopt, "line 3: expected SECTOR:KEY"},
  };
  for (const Case& c : cases) {
    KeyFileKeys file;
    SectorKeys keys;
    std::optional<std::string> fault = parseKeyFile(c.content, file);
    if (!fault) fault = keysForSelector(file, c.selector, keys);
    EXPECT_EQ(fault.value_or("").rfind(c.fault, 0), 0u) << fault.value_or("");
    EXPECT_EQ(fault.has_value(), !c.sector5) << c.content.size() << " bytes";
    if (c.sector5) {
      EXPECT_EQ(keys[5], c.sector5) << c.content.size() << " bytes";
    }
    EXPECT_EQ(fault.value_or("").find("55"), std::string::npos);
  }
  ASSERT_EQ(text96.size(), kBinaryKeysASize);
}

TEST(KeyFileTest, BinaryFilesAreWrittenWithUnknownKeysAsFactoryKeys) {
  SectorKeys keysA;
  SectorKeys keysB;
  keysA[0] = Key{0, 0, 0, 0, 0, 0};
  keysB[15] = Key{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
  const std::string content = formatBinaryKeyFile(keysA, keysB);
  ASSERT_EQ(content.size(), kBinaryKeyFileSize);
  EXPECT_EQ(content.substr(0, 12), std::string(6, '\0') + std::string(6, '\xFF'));
  EXPECT_EQ(content.substr(186), "\xB0\xB1\xB2\xB3\xB4\xB5");
  EXPECT_TRUE(isBinaryKeyFileName("dir/A.BIN"));
  EXPECT_FALSE(isBinaryKeyFileName("x.bin/keys"));
}

// The MIFARE Classic Tool's .keys files are key dictionaries.
TEST(KeyFileTest, AMifareClassicToolKeysFileIsADictionary) {
  std::vector<Key> keys;
  ASSERT_EQ(parseKeyList("# Standard keys\nFFFFFFFFFFFF\n# NFC Forum\nD3F7D3F7D3F7\n", keys),
            std::nullopt);
  EXPECT_EQ(keys[1], (Key{0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7}));
}

}  // namespace
}  // namespace rfid_keys
