// Operations on MODULE_ELATEC readers, driven through the pseudo-terminal reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "module_fixture.h"

namespace rfid::testing {
namespace {

constexpr const char* kSource = "rfid_elatec.cpp";
const Bytes kSearchRequest = {0x03, 0x00, 0x05, 0x00, 0x10};
// Reader-chosen bytes 0 to 2, result byte, two unexamined bytes, serial length, serial.
const Bytes kFourByteCard = {0x09, 0x00, 0x00, 0x01, 0x01, 0x08, 0x04, 0xC1, 0xC2, 0xC3, 0xC4};
const Bytes kSevenByteCard = {0x0C, 0x00, 0x00, 0x01, 0x02, 0x44, 0x07,
                              0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7};
const Bytes kBlock = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                      0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F};
const Bytes kUntouched(16, 0x5A);

using ElatecTest = ModuleTest;

bool searchIn(int stage, int fd, unsigned char* serial) {
  return searchTag(fd, MODULE_ELATEC, serial, stage);
}

TEST_F(ElatecTest, SearchTagWhileSearching) {
  expectReplies(
      kSource, "searchTag", kSearchRequest, Bytes(8, 0x5A),
      {
          {kFourByteCard, true, {4, 0xC1, 0xC2, 0xC3, 0xC4}, {"Info Card type: MIFARE classic."}},
          {kSevenByteCard,
           true,
           {7, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7},
           {"Info Card type: Plus, UltraLight or DESFire."}},
          {{0x09, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, true, {}, {}},
          {head(kFourByteCard, 9), false, {}, {"Warn Incomplete reply: 9 bytes."}},
          {head(kSevenByteCard, 11), false, {}, {"Warn Incomplete reply: 11 bytes."}},
          {{0x01, 0x00, 0x00, 0x00}, false, {}, {}},
          {{0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x04, 1, 2, 3, 4}, false, {}, {}},
          {{}, false, {}, {}},
      },
      [](int fd, unsigned char* serial) { return searchIn(SEARCH, fd, serial); });
}

TEST_F(ElatecTest, SearchTagWhileReadingOrWritingKeepsAFourByteRecord) {
  for (const int stage : {READ, WRITE}) {
    expectReplies(kSource, "searchTag", kSearchRequest, Bytes(8, 0x5A),
                  {
                      {kFourByteCard, true, {}, {"Info Card type: MIFARE classic."}},
                      {head(kFourByteCard, 7), true, {}, {"Info Card type: MIFARE classic."}},
                      {kSevenByteCard,
                       true,
                       {7, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7},
                       {"Info Card type: Plus, UltraLight or DESFire."}},
                  },
                  [stage](int fd, unsigned char* serial) { return searchIn(stage, fd, serial); });
  }
}

TEST_F(ElatecTest, LoginSendsTheKeyRowAndEndsWithTheSector) {
  expectReplies(kSource, "MifareClassic_Login",
                {0x0A, 0x00, 0x0B, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x03}, {},
                {
                    {{0x02, 0x00, 0x00, 0x01}, true, {}, {"Info MIFARE classic login pass."}},
                    {{0x02, 0x00, 0x00, 0x00}, false, {}, {"Info MIFARE classic login fail."}},
                    {{0x02, 0x00, 0x00, 0x02}, false, {}, {"Warn Please try again."}},
                    {{}, false, {}, {}},
                },
                [](int fd, unsigned char*) { return MifareClassic_Login(fd, NO_MODULE, 13, 1); });
  for (const int block : {3, 4, 9, 63}) {
    SCOPED_TRACE(block);
    const Bytes key = provisionDistinctKeys(block / 4);
    LogCapture log;
    ScriptedReader reader;
    MifareClassic_Login(reader.fd(), MODULE_ELATEC, block, 0);
    EXPECT_EQ(reader.lastRequest(), concat(concat({0x0A, 0x00, 0x0B, 0x00}, key),
                                           {0x00, static_cast<unsigned char>(block / 4)}));
  }
}

TEST_F(ElatecTest, ReadBlockReplies) {
  const Bytes fullReply = concat({0x12, 0x00, 0x00, 0x01}, kBlock);
  expectReplies(
      kSource, "MifareClassic_ReadBlock", {0x03, 0x00, 0x0B, 0x01, 0x05}, kUntouched,
      {
          {fullReply, true, kBlock, {"Info Read block successfully."}},
          {head(fullReply, 19), false, {}, {"Warn Incomplete reply: 19 bytes."}},
          {{0x02, 0x00, 0x00, 0x00}, false, {}, {"Info Unsuccessful to read block."}},
          {{0x02, 0x00, 0x00, 0x02}, false, {}, {"Warn Please try again."}},
          {{}, false, {}, {}},
      },
      [](int fd, unsigned char* data) { return MifareClassic_ReadBlock(fd, 0, 5, data); });
}

TEST_F(ElatecTest, WriteBlockRepliesReplaceDataOnlyWithAFullEcho) {
  const Bytes echo = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7,
                      0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF};
  const Bytes echoReply = concat({0x12, 0x00, 0x00, 0x01}, echo);
  expectReplies(
      kSource, "MifareClassic_WriteBlock", concat({0x13, 0x00, 0x0B, 0x02, 0x3F}, kBlock), kBlock,
      {
          {{0x02, 0x00, 0x00, 0x01}, true, {}, {"Info Write block successfully."}},
          {echoReply, true, echo, {"Info Write block successfully."}},
          {head(echoReply, 19), true, {}, {"Info Write block successfully."}},
          {{0x02, 0x00, 0x00, 0x00}, false, {}, {"Info Unsuccessful to Write block."}},
          {{0x02, 0x00, 0x00, 0x02}, false, {}, {"Warn Please try again."}},
          {{}, false, {}, {}},
      },
      [](int fd, unsigned char* data) { return MifareClassic_WriteBlock(fd, 0, 63, data); });
}

TEST_F(ElatecTest, BeepSendsTheSoundUnjudgedAndLogsNothing) {
  for (const unsigned char sound : {0x00, 0xFF}) {
    expectReplies(kSource, "SetBeep",
                  {0x09, 0x00, 0x04, 0x07, sound, 0x60, 0x09, 0xF4, 0x01, 0xF4, 0x01}, {},
                  {{{}, true, {}, {}}, {{0x02, 0x00, 0x00, 0x00}, true, {}, {}}},
                  [sound](int fd, unsigned char*) { return SetBeep(fd, MODULE_VOR, sound); });
  }
  LogCapture log;
  const int readOnly = open("/dev/null", O_RDONLY);
  EXPECT_TRUE(SetBeep(readOnly, MODULE_ELATEC, 1));
  close(readOnly);
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{logLine("rfid_link.cpp", "system_command",
                                             "Error system command \t response fail.")});
}

}  // namespace
}  // namespace rfid::testing
