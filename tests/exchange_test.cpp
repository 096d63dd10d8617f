// The one request/reply exchange on the serial descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <numeric>

#include "module_fixture.h"

namespace rfid::testing {
namespace {

constexpr unsigned char kUnwritten = 0xAA;

TEST(ExchangeTest, SendsTheFrameAsIsAndReturnsOnlyTheReplyNotStaleBytes) {
  LogCapture log;
  ScriptedReader reader;
  reader.sendStale({0xEE, 0xEE, 0xEE});
  reader.answer({0x01, 0x02, 0x03});
  unsigned char frame[] = {0x00, 0x13, 0x00, 0xFF};
  ReceiveArea rx = {};
  EXPECT_EQ(system_command(reader.fd(), frame, sizeof frame, rx), 3);
  EXPECT_EQ(reader.lastRequest(), bytesOf(frame, sizeof frame));
  EXPECT_EQ(bytesOf(rx, 4), (Bytes{0x01, 0x02, 0x03, 0x00}));
  EXPECT_TRUE(log.messages().empty());
}

TEST(ExchangeTest, StaleCardReplyIsNotTakenForAnAnswer) {
  LogCapture log;
  ScriptedReader reader;
  reader.sendStale({0x09, 0x20, 0xAA, 0xBB, 0xCC, 0xDD, 0x00});
  reader.stayQuiet();
  unsigned char serial[8] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  EXPECT_FALSE(getRequestCardSN(reader.fd(), MODULE_VOR, serial));
  EXPECT_EQ(bytesOf(serial, 8), Bytes(8, 0x5A));
  EXPECT_TRUE(log.messages().empty());
}

TEST(ExchangeTest, OneReadTakesAtMost256Bytes) {
  for (const std::size_t size : {1U, 256U, 300U}) {
    SCOPED_TRACE(size);
    LogCapture log;
    ScriptedReader reader;
    Bytes reply(size);
    std::iota(reply.begin(), reply.end(), 0);
    reader.answer(reply);
    unsigned char frame[] = {0x42};
    unsigned char rx[kReceiveSize + 64];
    std::memset(rx, kUnwritten, sizeof rx);
    const std::size_t taken = std::min(size, kReceiveSize);
    EXPECT_EQ(system_command(reader.fd(), frame, 1, rx), static_cast<int>(taken));
    EXPECT_EQ(bytesOf(rx, taken), Bytes(reply.begin(), reply.begin() + taken));
    EXPECT_EQ(bytesOf(rx + kReceiveSize, 64), Bytes(64, kUnwritten));
  }
}

TEST(ExchangeTest, FailedWriteLogsAtMostFourFrameBytesAndNeitherWaitsNorReads) {
  struct Case {
    Bytes frame;
    std::string shown;
  };
  const Case cases[] = {
      {{'A', 'B', 'C', 'D', 'E', 'F'}, "ABCD"},
      {{0x03, 0x20, 0x01, 0x22}, "\x03 \x01\""},
      {{0x03, 0x00, 0x05, 0x00, 0x10}, "\x03"},  // length-prefixed: high length byte is 0
      {{'A', 'B'}, "AB"},
      {{0x00, 'A'}, ""},
  };
  const int readOnly = open("/dev/null", O_RDONLY);
  ASSERT_GT(readOnly, 0);
  constexpr int kNeverOpened = 999;
  ASSERT_EQ(fcntl(kNeverOpened, F_GETFD), -1);
  for (const int fd : {readOnly, kNeverOpened}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::PrintToString(c.frame));
      LogCapture log;
      WaitCounter waits;
      unsigned char rx[kReceiveSize];
      std::memset(rx, kUnwritten, sizeof rx);
      Bytes frame = c.frame;
      EXPECT_EQ(system_command(fd, frame.data(), static_cast<int>(frame.size()), rx), 0);
      EXPECT_EQ(waits.count(), 0);
      EXPECT_EQ(bytesOf(rx, sizeof rx), Bytes(sizeof rx, kUnwritten));
      EXPECT_EQ(log.messages(), std::vector<std::string>{logLine(
                                    "rfid_link.cpp", "system_command",
                                    "Error system command " + c.shown + " response fail.")});
    }
  }
  close(readOnly);
}

TEST(ExchangeTest, FailedReadIsPassedUpAndTheOperationGivesUpSilently) {
  LogCapture log;
  WaitCounter waits;
  const int writeOnly = open("/dev/null", O_WRONLY);
  ASSERT_GT(writeOnly, 0);
  unsigned char frame[] = {0x02, 0x28, 0x2A};
  ReceiveArea rx = {};
  EXPECT_LT(system_command(writeOnly, frame, sizeof frame, rx), 0);
  unsigned char serial[8] = {};
  EXPECT_FALSE(getRequestCardSN(writeOnly, MODULE_VOR, serial));
  EXPECT_EQ(waits.count(), 2);
  EXPECT_TRUE(log.messages().empty());
  close(writeOnly);
}

TEST(ExchangeTest, MissingFrameOrReceiveAreaOrLengthSendsNothing) {
  LogCapture log;
  ScriptedReader reader;
  unsigned char frame[] = {0x01, 0x02, 0x03};
  ReceiveArea rx = {};
  EXPECT_EQ(system_command(reader.fd(), nullptr, 3, rx), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, 3, nullptr), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, 0, rx), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, -1, rx), 0);
  EXPECT_TRUE(reader.requests().empty());
  EXPECT_TRUE(log.messages().empty());
}

}  // namespace
}  // namespace rfid::testing
