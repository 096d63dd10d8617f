// Every operation of both reader families in one table: the frame each
// builder writes, the verdict each judge gives a reply, and what the
// operation around them makes of that reply through the pseudo-terminal
// reader (result, the caller's buffer, the log); the calls that must not
// reach the reader at all; and the exchange's own system calls: flush,
// write, wait, read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <numeric>
#include <thread>

#include "operations.h"

namespace rfid::testing {
namespace {

const unsigned char kKey[ROW] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const Bytes kKeyBytes(kKey, kKey + ROW);

// The frame `build` writes over a buffer of 0xEE, so that a byte it leaves
// unwritten shows.
template <std::size_t N, typename... Parameters, typename... Args>
Bytes built(void (*build)(unsigned char (&)[N], Parameters...), Args... args) {
  unsigned char frame[N];
  std::memset(frame, 0xEE, N);
  build(frame, args...);
  return Bytes(frame, frame + N);
}

TEST(FrameTest, EveryBuilderFillsEveryField) {
  const std::pair<Bytes, Bytes> cases[] = {
      // Command codes go out as their low byte, block numbers too.
      {built(vor::buildCardRequestFrame, 0x120, 0x52), withChecksum({0x03, 0x20, 0x52})},
      {built(vor::buildBlockReadFrame, 0x21, 0x60, 269, kKey),
       withChecksum(concat({0x0A, 0x21, 0x60, 13}, kKeyBytes))},
      {built(vor::buildBlockWriteFrame, 0x22, 0x61, 13, kKey, kBlock.data()),
       withChecksum(concat(concat({0x1A, 0x22, 0x61, 13}, kKeyBytes), kBlock))},
      {built(vor::buildHaltFrame, 0x28), withChecksum({0x02, 0x28})},
      {built(vor::buildBuzzerFrame, 0x14, 7), withChecksum({0x03, 0x14, 7})},
      {built(elatec::buildSearchTagFrame), {0x03, 0x00, 0x05, 0x00, 0x10}},
      // The login names the block's sector, not the block.
      {built(elatec::buildLoginFrame, 13, kKey, 0x61),
       concat(concat({0x0A, 0x00, 0x0B, 0x00}, kKeyBytes), {0x61, 3})},
      {built(elatec::buildReadFrame, 63), {0x03, 0x00, 0x0B, 0x01, 63}},
      {built(elatec::buildWriteFrame, 13, kBlock.data()),
       concat({0x13, 0x00, 0x0B, 0x02, 13}, kBlock)},
      {built(elatec::buildBeepFrame, 0x42),
       {0x09, 0x00, 0x04, 0x07, 0x42, 0x60, 0x09, 0xF4, 0x01, 0xF4, 0x01}},
  };
  for (const auto& [frame, expected] : cases) EXPECT_EQ(frame, expected);
  // The reply that echoes the low byte of a longer code must not count, or
  // two codes would share one answer.
  const unsigned char reply[] = {0x09, 0x20, 1, 2, 3, 4};
  int length = 0;
  EXPECT_EQ(vor::judgeCardRequest(Reply{reply, 6}, 0x120, length), Verdict::kSilent);
  EXPECT_TRUE(WUPA == 0 && STATUS == 0) << "the unused exported variables as documented";
}

// Checked before `len - 1` is formed, which overflows for INT_MIN.
TEST(FrameTest, ChecksumOfTwoBytesIsTheFirstAndOfLessOrNothingIsZero) {
  unsigned char frame[] = {0x5A, 0x33};
  EXPECT_EQ(ClaCheckSum(frame, 2), 0x5A);
  for (int length : {1, 0, INT_MIN}) EXPECT_EQ(ClaCheckSum(frame, length), 0) << length;
  EXPECT_EQ(ClaCheckSum(nullptr, 4), 0);
}

// Provisions the key rows of keyOfSector() and puts the shipped ones back.
class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() {
    std::memcpy(saved_, sectorKeyA, sizeof saved_);
    for (int sector = 0; sector < COLUMN; ++sector) {
      const Bytes key = keyOfSector(sector);
      std::copy(key.begin(), key.end(), sectorKeyA[sector]);
    }
  }
  ~ProtocolTest() override { std::memcpy(sectorKeyA, saved_, sizeof saved_); }

 private:
  unsigned char saved_[COLUMN][ROW] = {};
};

TEST_F(ProtocolTest, EveryReplyGetsItsVerdictResultBufferAndLog) {
  for (const ReplyCase& c : kReplyCases) {
    SCOPED_TRACE(std::string(c.operation) + " reply " + ::testing::PrintToString(c.reply));
    const Operation& op = kOperations.at(c.operation);
    int length = 0;
    bool flag = false;
    EXPECT_EQ(op.judge(Reply{c.reply.data(), static_cast<int>(c.reply.size())}, length, flag),
              c.verdict);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(flag, c.flag);
    LogCapture log;
    ScriptedReader reader;
    reader.answer(c.reply);
    Bytes buffer = kUntouched;
    const int type = op.family == Family::kElatec ? 1 : 0;  // the module types hosts pass
    EXPECT_EQ(op.call(reader.fd(), type, op.block, buffer.data()),
              c.verdict == kSuccess && op.family != Family::kVorVoid);
    EXPECT_EQ(reader.requests(), std::vector<Bytes>{op.request});
    Bytes expected = kUntouched;
    std::copy(c.written.begin(), c.written.end(), expected.begin());
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(log.messages(), c.log);
  }
}

// rfidCardPresent: every reply of the card request and of the tag search
// (search stage) gives the same request, result and record as
// getRequestCardSN and searchTag, and the same log but the "Card type" entry.
// Another module type or no buffer: -1, nothing sent.
TEST_F(ProtocolTest, CardPresentAnswersAsTheCardRequestWithoutItsCardTypeEntry) {
  for (const ReplyCase& c : kReplyCases) {
    const std::string name = c.operation;
    if (name != "card" && name != "search") continue;
    SCOPED_TRACE(name + " reply " + ::testing::PrintToString(c.reply));
    const Operation& op = kOperations.at(c.operation);
    LogCapture log;
    ScriptedReader reader;
    reader.answer(c.reply);
    Bytes buffer = kUntouched;
    const int type = op.family == Family::kElatec ? MODULE_ELATEC : MODULE_VOR;
    EXPECT_EQ(rfidCardPresent(reader.fd(), type, buffer.data()), c.verdict == kSuccess ? 1 : 0);
    EXPECT_EQ(reader.requests(), std::vector<Bytes>{op.request});
    Bytes expected = kUntouched;
    std::copy(c.written.begin(), c.written.end(), expected.begin());
    EXPECT_EQ(buffer, expected);
    const std::string lines = std::string(c.log).rfind("Info Card type", 0) == 0 ? "" : c.log;
    EXPECT_EQ(log.messages(), lines);
  }
  ScriptedReader reader;
  Bytes buffer = kUntouched;
  EXPECT_EQ(rfidCardPresent(reader.fd(), 2, buffer.data()), -1);
  EXPECT_EQ(rfidCardPresent(reader.fd(), MODULE_VOR, nullptr), -1);
  EXPECT_TRUE(reader.requests().empty());
  EXPECT_EQ(buffer, kUntouched);
}

// Refused before anything is sent: no reader (Fd 0 or below), a VOR
// operation for an ELATEC reader (module type 1), a block outside 0 to 63
// (with a warning), a missing buffer. Block 0 is served.
TEST_F(ProtocolTest, RefusedCallsSendNothingAndLeaveTheBufferAlone) {
  for (const auto& [name, op] : kOperations) {
    ScriptedReader reader;
    std::vector<std::tuple<int, int, int, bool>> calls = {{0, MODULE_VOR, op.block, true},
                                                          {-1, MODULE_VOR, op.block, true}};
    if (op.family != Family::kElatec) calls.emplace_back(reader.fd(), 1, op.block, true);
    if (op.takesBuffer) calls.emplace_back(reader.fd(), MODULE_VOR, op.block, false);
    if (op.block >= 0) calls.emplace_back(reader.fd(), MODULE_VOR, -1, true);
    if (op.block >= 0) calls.emplace_back(reader.fd(), MODULE_VOR, 64, true);
    for (const auto& [fd, type, block, withBuffer] : calls) {
      SCOPED_TRACE(name + " Fd " + std::to_string(fd) + " type " + std::to_string(type) +
                   " block " + std::to_string(block));
      LogCapture log;
      WaitCounter waits;
      Bytes buffer = kUntouched;
      EXPECT_FALSE(op.call(fd, type, block, withBuffer ? buffer.data() : nullptr));
      EXPECT_EQ(waits.count(), 0);
      EXPECT_EQ(buffer, kUntouched);
      std::string lines;
      if (name == "buzzer 11" && type != 1) lines = "Warn Value is out of range.";
      if (block != op.block) lines = "Warn Block " + std::to_string(block) + " is out of range.";
      EXPECT_EQ(log.messages(), lines);
    }
    if (op.block < 0) continue;
    LogCapture log;  // block 0, the first of the card, is served
    Bytes buffer = kUntouched;
    op.call(reader.fd(), 0, 0, buffer.data());
    EXPECT_EQ(reader.requests().size(), 1U) << name;
  }
}

constexpr unsigned char kUnwritten = 0xAA;

// Bytes pending before the request (a late reply, noise) are dropped, and
// the reply is taken whole by one read of at most 256 bytes: the rest of an
// over-long reply stays out of this reply and, flushed, out of the next one.
TEST(ExchangeTest, SendsTheFrameAndReadsAtMost256ReplyBytesButNoStaleOnes) {
  LogCapture log;
  ScriptedReader reader;
  for (const std::size_t size : {300U, 3U, 256U}) {
    SCOPED_TRACE(size);
    reader.sendStale({0xEE, 0xEE, 0xEE});
    Bytes reply(size);
    std::iota(reply.begin(), reply.end(), 1);
    reader.answer(reply);
    unsigned char frame[] = {0x00, 0x13, 0x00, 0xFF};
    unsigned char rx[kReceiveSize + 64];
    std::memset(rx, kUnwritten, sizeof rx);
    const std::size_t taken = std::min<std::size_t>(size, 256);
    EXPECT_EQ(system_command(reader.fd(), frame, sizeof frame, rx), static_cast<int>(taken));
    EXPECT_EQ(reader.requests().back(), Bytes(frame, frame + sizeof frame));
    EXPECT_EQ(Bytes(rx, rx + taken), head(reply, taken));
    EXPECT_EQ(Bytes(rx + taken, rx + sizeof rx), Bytes(sizeof rx - taken, kUnwritten));
  }
  EXPECT_EQ(log.messages(), "");
}

// The Error line shows the frame as raw text up to its first zero byte and
// never past its 4th byte: block frames carry the sector key from byte 4 on.
TEST(ExchangeTest, FailedWriteLogsAtMostFourFrameBytesAndNeitherWaitsNorReads) {
  const std::pair<Bytes, std::string> cases[] = {
      {{'A', 'B', 'C', 'D', 'E', 'F'}, "ABCD"}, {{'A', 0x01}, "A\x01"}, {{'A', 0x00, 'B'}, "A"}};
  const rfid_serial::UniqueFd readOnly(open("/dev/null", O_RDONLY));
  for (const auto& [frame, shown] : cases) {
    LogCapture log;
    WaitCounter waits;
    unsigned char rx[kReceiveSize];
    Bytes bytes = frame;
    EXPECT_EQ(system_command(readOnly.get(), bytes.data(), static_cast<int>(bytes.size()), rx), 0);
    EXPECT_EQ(waits.count(), 0);
    EXPECT_EQ(log.messages(), "Error system command " + shown + " response fail.");
  }
}

// An empty frame is still an exchange: the flush, a write of nothing, the
// wait and the read all happen. No frame, no receive area or a negative
// length is refused before anything happens.
TEST(ExchangeTest, EmptyFrameRunsTheWholeExchangeAndMissingArgumentsNone) {
  LogCapture log;
  ScriptedReader reader;
  reader.sendStale({0xEE, 0xEE});
  unsigned char frame[] = {0x42};
  unsigned char rx[kReceiveSize] = {};
  WaitCounter waits;
  EXPECT_EQ(system_command(reader.fd(), frame, 0, rx), 0);
  EXPECT_EQ(waits.count(), 1);
  EXPECT_EQ(rx[0], 0);
  EXPECT_EQ(system_command(reader.fd(), nullptr, 1, rx), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, 1, nullptr), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, -1, rx), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, INT_MIN, rx), 0);
  EXPECT_EQ(waits.count(), 1);
  EXPECT_EQ(log.messages(), "");
}

// The one test that sees the module's real half-second exchange wait.
TEST(ExchangeTest, RealWaitLastsHalfASecond) {
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
