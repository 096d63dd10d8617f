// Checks the test double itself, and the one test that sees the real wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "rfid_internal.h"
#include "scripted_reader.h"

namespace rfid::testing {
namespace {

TEST(ScriptedReaderTest, RecordsRequestAndDeliversScriptedReply) {
  LogCapture log;
  ScriptedReader reader;
  reader.answer({0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00});
  unsigned char serial[8] = {};
  EXPECT_TRUE(getRequestCardSN(reader.fd(), MODULE_VOR, serial));
  EXPECT_EQ(reader.lastRequest(), (Bytes{0x03, 0x20, 0x01, 0x22}));
  const unsigned char expected[8] = {4, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(serial, expected, sizeof serial));
  ASSERT_EQ(log.messages().size(), 1U);
  EXPECT_EQ(log.messages()[0],
            "[rfid_checksummed.cpp:N][getRequestCardSN][Info] Card type : MIFARE classic.\n");
  EXPECT_EQ(log.file().substr(24), log.console().substr(24) + "\n");
}

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
