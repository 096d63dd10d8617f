// The one request/reply exchange on the serial descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

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

// An empty frame is still an exchange: the flush, a write of nothing, the
// wait and the read all happen, and stale bytes stay out of the reply.
TEST(ExchangeTest, EmptyFrameRunsTheWholeExchange) {
  LogCapture log;
  ScriptedReader reader;
  reader.sendStale({0xEE, 0xEE});
  WaitCounter waits;
  unsigned char frame[] = {0x42};
  ReceiveArea rx = {};
  EXPECT_EQ(system_command(reader.fd(), frame, 0, rx), 0);
  EXPECT_EQ(waits.count(), 1);
  EXPECT_EQ(bytesOf(rx, 2), (Bytes{0x00, 0x00}));
  EXPECT_TRUE(log.messages().empty());
}

// The one test that sees the module's real half-second exchange wait.
TEST(ScriptedReaderTest, RealExchangeWaitsHalfASecond) {
  LogCapture log;
  ScriptedReader reader;
  reader.useRealWait();
  reader.answer({0x09, 0x20, 1, 2, 3, 4, 0});
  std::thread readerSide([&reader] { reader.serveOnce(); });
  unsigned char serial[8] = {};
  const auto start = std::chrono::steady_clock::now();
  const bool found = getRequestCardSN(reader.fd(), MODULE_VOR, serial);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  readerSide.join();
  EXPECT_TRUE(found);
  // Generous upper bound: the machine is shared; the point is that the
  // exchange waits rather than polls.
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

}  // namespace
}  // namespace rfid::testing
