// Operations on MODULE_VOR readers, driven through the pseudo-terminal reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "module_fixture.h"

namespace rfid::testing {
namespace {

constexpr const char* kSource = "rfid_vor.cpp";
const Bytes kTransportKey(ROW, 0xFF);
const Bytes kBlock = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                      0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F};
const Bytes kUntouched(16, 0x5A);
const Bytes kReadReply = concat({0x12, 0x21}, kBlock);

using VorTest = ModuleTest;

TEST(ChecksumTest, XorsEveryByteButTheLast) {
  unsigned char request[] = {0x03, 0x20, 0x01, 0x99};
  EXPECT_EQ(static_cast<unsigned char>(ClaCheckSum(request, 4)), 0x22);
  unsigned char high[] = {0xF0, 0x0F, 0x00};
  EXPECT_EQ(static_cast<unsigned char>(ClaCheckSum(high, 3)), 0xFF);
}

TEST_F(VorTest, CardRequestReplies) {
  expectReplies(
      kSource, "getRequestCardSN", {0x03, 0x20, 0x01, 0x22}, Bytes(8, 0x5A),
      {
          {{0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00},
           true,
           {4, 0xDE, 0xAD, 0xBE, 0xEF},
           {"Info Card type : MIFARE classic."}},
          {{0x0C, 0x20, 1, 2, 3, 4, 5, 6, 7},
           true,
           {7, 1, 2, 3, 4, 5, 6, 7},
           {"Info Card type : Plus, UltraLight or DESFire."}},
          {{0x0A, 0x20, 1, 2, 3, 4, 5, 6}, false, {}, {"Info Please try again."}},
          {{0x09, 0x20, 0xDE, 0xAD}, false, {}, {"Warn Incomplete reply: 4 bytes."}},
          {{0x0C, 0x20, 1, 2, 3, 4, 5, 6}, false, {}, {"Warn Incomplete reply: 8 bytes."}},
          {{0x09, 0xDF, 1, 2, 3, 4, 0}, false, {}, {}},
          {{0x09}, false, {}, {}},
          {{}, false, {}, {}},
      },
      [](int fd, unsigned char* serial) { return getRequestCardSN(fd, MODULE_VOR, serial); });
}

TEST_F(VorTest, CardRequestCarriesTheCurrentReqaAndCommandCode) {
  REQA = 0x52;
  RFID_CMD_REQUEST_SN = 0x31;
  expectReplies(
      kSource, "getRequestCardSN", withChecksum({0x03, 0x31, 0x52}), Bytes(8, 0),
      {{{0x09, 0x31, 1, 2, 3, 4}, true, {4, 1, 2, 3, 4}, {"Info Card type : MIFARE classic."}},
       {{0x09, 0x20, 1, 2, 3, 4}, false, {}, {}}},
      [](int fd, unsigned char* serial) { return getRequestCardSN(fd, NO_MODULE, serial); });
}

// A code above one byte goes out as its low byte, and the reply that echoes
// that byte must not count as success, or two codes would share one answer.
TEST_F(VorTest, CommandCodesAboveOneByteNeverSucceed) {
  RFID_CMD_REQUEST_SN = 0x120;
  RFID_CMD_BLOCK_READ = 0x121;
  RFID_CMD_BLOCK_WRITE = 0x122;
  expectReplies(kSource, "getRequestCardSN", {0x03, 0x20, 0x01, 0x22}, Bytes(8, 0),
                {{{0x09, 0x20, 1, 2, 3, 4}, false, {}, {}}},
                [](int fd, unsigned char* serial) { return getRequestCardSN(fd, 0, serial); });
  expectReplies(kSource, "getBlockRead", withChecksum(concat({0x0A, 0x21, 0, 1}, kTransportKey)),
                kUntouched, {{kReadReply, false, {}, {}}},
                [](int fd, unsigned char* data) { return getBlockRead(fd, 0, 1, 0, data); });
  expectReplies(kSource, "setBlockWrite",
                withChecksum(concat(concat({0x1A, 0x22, 0, 1}, kTransportKey), kBlock)), kBlock,
                {{{0x02, 0x22}, false, {}, {}}},
                [](int fd, unsigned char* data) { return setBlockWrite(fd, 0, 1, 0, data); });
}

TEST_F(VorTest, BlockReadReplies) {
  const Bytes request = {0x0A, 0x21, 0x01, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x2F};
  expectReplies(
      kSource, "getBlockRead", request, kUntouched,
      {
          {kReadReply, true, kBlock, {"Info Read block ok."}},
          {head(kReadReply, 17), false, {}, {"Warn Incomplete reply: 17 bytes."}},
          {{0x02, 0xDE}, false, {}, {"Info Read block failed."}},
          {{0x02, 0xDD}, false, {}, {}},
          {{}, false, {}, {}},
      },
      [](int fd, unsigned char* data) { return getBlockRead(fd, MODULE_VOR, 5, 1, data); });
}

TEST_F(VorTest, BlockWriteReplies) {
  expectReplies(kSource, "setBlockWrite",
                withChecksum(concat(concat({0x1A, 0x22, 0x01, 0x05}, kTransportKey), kBlock)),
                kBlock,
                {
                    {{0x02, 0x22}, true, {}, {"Info Write block ok."}},
                    {{0x02, 0xDD}, false, {}, {"Info Write block failed."}},
                    {{0x02, 0x21}, false, {}, {}},
                    {{}, false, {}, {}},
                },
                [](int fd, unsigned char* data) { return setBlockWrite(fd, 0, 5, 1, data); });
}

TEST_F(VorTest, BlockFramesCarryTheKeyRowOfTheBlocksSector) {
  for (const int block : {3, 4, 9, 63}) {
    SCOPED_TRACE(block);
    const Bytes key = provisionDistinctKeys(block / 4);
    const auto blockByte = static_cast<unsigned char>(block);
    LogCapture log;
    ScriptedReader reader;
    unsigned char data[16] = {};
    getBlockRead(reader.fd(), MODULE_VOR, block, 0x60, data);
    EXPECT_EQ(reader.lastRequest(), withChecksum(concat({0x0A, 0x21, 0x60, blockByte}, key)));
    std::copy(kBlock.begin(), kBlock.end(), data);
    setBlockWrite(reader.fd(), MODULE_VOR, block, 0x61, data);
    EXPECT_EQ(reader.lastRequest(),
              withChecksum(concat(concat({0x1A, 0x22, 0x61, blockByte}, key), kBlock)));
  }
}

TEST_F(VorTest, FailedWriteNeverLogsTheSectorKey) {
  const Bytes key = {'S', 'E', 'C', 'R', 'E', 'T'};
  std::copy(key.begin(), key.end(), sectorKeyA[1]);
  LogCapture log;
  const int readOnly = open("/dev/null", O_RDONLY);
  unsigned char data[16] = {};
  EXPECT_FALSE(getBlockRead(readOnly, MODULE_VOR, 5, 1, data));
  EXPECT_FALSE(setBlockWrite(readOnly, MODULE_VOR, 5, 1, data));
  close(readOnly);
  const std::string line =
      logLine("rfid_link.cpp", "system_command", "Error system command \n!\x01\x05 response fail.");
  const std::string writeLine = logLine("rfid_link.cpp", "system_command",
                                        "Error system command \x1A\"\x01\x05 response fail.");
  std::string messages;  // the read frame starts with 0x0A, a newline
  for (const std::string& message : log.messages()) messages += message;
  EXPECT_EQ(messages, line + writeLine);
  EXPECT_EQ(log.file().find("SECRET"), std::string::npos);
}

TEST_F(VorTest, HaltJudgesTheFixedCodes) {
  const auto halt = [](int fd, unsigned char*) {
    sethaltCard(fd, MODULE_VOR);
    return false;
  };
  expectReplies(kSource, "sethaltCard", {0x02, 0x28, 0x2A}, {},
                {{{0x02, 0x28}, false, {}, {"Info Halt card pass."}},
                 {{0x02, 0xD7}, false, {}, {"Info Halt card fail."}},
                 {{0x02, 0x29}, false, {}, {}},
                 {{}, false, {}, {}}},
                halt);
  RFID_CMD_HALT_14443A = 0x29;
  expectReplies(
      kSource, "sethaltCard", {0x02, 0x29, 0x2B}, {},
      {{{0x02, 0x28}, false, {}, {"Info Halt card pass."}}, {{0x02, 0x29}, false, {}, {}}}, halt);
}

TEST_F(VorTest, BuzzerSendsValuesUpToTenAndFiveForAnythingAbove) {
  struct Case {
    unsigned char time, sent;
  };
  for (const Case c : {Case{0, 0}, {10, 10}, {11, 5}, {255, 5}}) {
    std::vector<std::string> lines;
    if (c.time > 10) lines.push_back("Warn Value is out of range.");
    lines.push_back("Info Set Buzzer ok.");
    lines.push_back("Info Set Buzzer " + std::to_string(c.sent) + " ms.");
    expectReplies(kSource, "setBuzzer", withChecksum({0x03, 0x14, c.sent}), {},
                  {{{0x03, 0x14}, false, {}, lines}}, [&c](int fd, unsigned char*) {
                    setBuzzer(fd, MODULE_VOR, c.time);
                    return false;
                  });
  }
  RFID_CMD_BUZZER_SET = 0x15;
  expectReplies(kSource, "setBuzzer", withChecksum({0x03, 0x15, 3}), {},
                {{{0x03, 0x14}, false, {}, {"Info Set Buzzer ok.", "Info Set Buzzer 3 ms."}},
                 {{0x03, 0xEC}, false, {}, {"Info Set Buzzer fail."}},
                 {{0x03, 0xEB}, false, {}, {}},
                 {{0x03, 0x15}, false, {}, {}}},
                [](int fd, unsigned char*) {
                  setBuzzer(fd, NO_MODULE, 3);
                  return false;
                });
}

}  // namespace
}  // namespace rfid::testing
