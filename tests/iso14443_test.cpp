// GetSAK and the ISO 14443-4 exchange (TDX) of the Elatec reader: the
// frames they send, what they make of each reply (result, the caller's
// buffer, the log: counts only, never a card byte), and the calls they
// refuse before anything is sent.
#include <gtest/gtest.h>

#include "operations.h"

namespace rfid::testing {
namespace {

constexpr unsigned char kPresetByte = 0x5A;
const Bytes kAuthenticateFirst = {0x90, 0x71, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
const Bytes kExampleRequest = {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x20};
const Bytes kAuthenticateRequest =
    concat(concat({0x0C, 0x00, 0x12, 0x03, 0x08}, kAuthenticateFirst), {0xFB});

// The reader's documented example (12 03 01 60 20 gives 00 01 02 6F 00),
// AuthenticateEV2First asking for the largest reply a frame holds, replies
// whose RX length claims more than arrived or than fits, and the reader's
// failure answers.
TEST(TransceiveTest, EveryReplyGetsItsResultBufferAndLog) {
  const struct {
    Bytes tx;
    int rxCapacity;
    Bytes request;
    Bytes reply;
    int result;
    Bytes received;
    const char* log;
  } cases[] = {
      {{0x60},
       0x20,
       kExampleRequest,
       {0x05, 0x00, 0x00, 0x01, 0x02, 0x6F, 0x00},
       2,
       {0x6F, 0x00},
       "Info Card exchange: 1 bytes sent, 2 received."},
      {kAuthenticateFirst,
       300,
       kAuthenticateRequest,
       {0x03, 0x00, 0x00, 0x01, 0x00},
       0,
       {},
       "Info Card exchange: 8 bytes sent, 0 received."},
      {kAuthenticateFirst,
       251,
       kAuthenticateRequest,
       {0x05, 0x00, 0x00, 0x01, 0x02, 0x91, 0xAF},
       2,
       {0x91, 0xAF},
       "Info Card exchange: 8 bytes sent, 2 received."},
      {{0x60},
       0x20,
       kExampleRequest,
       {0x05, 0x00, 0x00, 0x01, 0x03, 0x6F, 0x00},
       -1,
       {},
       "Warn Incomplete reply: 7 bytes."},
      {{0x60},
       1,
       {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x01},
       {0x05, 0x00, 0x00, 0x01, 0x02, 0x6F, 0x00},
       -1,
       {},
       "Warn Incomplete reply: 7 bytes."},
      {{0x60},
       0x20,
       kExampleRequest,
       {0x02, 0x00, 0x00, 0x01},
       -1,
       {},
       "Warn Incomplete reply: 4 bytes."},
      {{0x60}, 0x20, kExampleRequest, {0x02, 0x00, 0x00, 0x00}, -1, {}, "Info Card exchange fail."},
      {{0x60}, 0x20, kExampleRequest, {0x02, 0x00, 0x01, 0x02}, -1, {}, "Warn Please try again."},
      {{0x60}, 0x20, kExampleRequest, {}, -1, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.reply));
    LogCapture log;
    ScriptedReader reader;
    reader.answer(c.reply);
    Bytes rx(300, kPresetByte);
    EXPECT_EQ(rfidElatecTransceive(reader.fd(), c.tx.data(), static_cast<int>(c.tx.size()),
                                   rx.data(), c.rxCapacity),
              c.result);
    EXPECT_EQ(reader.requests(), std::vector<Bytes>{c.request});
    Bytes expected(300, kPresetByte);
    std::copy(c.received.begin(), c.received.end(), expected.begin());
    EXPECT_EQ(rx, expected);
    EXPECT_EQ(log.messages(), c.log);
  }
}

// The longest command and the longest reply fill the 256-byte frames.
TEST(TransceiveTest, LongestCommandAndReplyFitTheFrames) {
  LogCapture log;
  ScriptedReader reader;
  Bytes tx(250);
  for (std::size_t i = 0; i < tx.size(); ++i) tx[i] = static_cast<unsigned char>(i);
  Bytes reply = {0xFE, 0x00, 0x00, 0x01, 0xFB};
  for (int i = 0; i < 251; ++i) reply.push_back(static_cast<unsigned char>(0xFF - i));
  reader.answer(reply);
  Bytes rx(251, 0);
  EXPECT_EQ(rfidElatecTransceive(reader.fd(), tx.data(), 250, rx.data(), 251), 251);
  EXPECT_EQ(reader.requests().at(0), concat(concat({0xFE, 0x00, 0x12, 0x03, 0xFA}, tx), {0xFB}));
  EXPECT_EQ(rx, Bytes(reply.begin() + 5, reply.end()));
}

// Refused before anything is sent, with nothing written: no reader, no
// buffers, a command of 0 or more than 250 bytes, no room for a reply.
TEST(TransceiveTest, BadArgumentsSendNothing) {
  ScriptedReader reader;
  const int fd = reader.fd();
  unsigned char tx[251] = {0x60};
  const std::tuple<int, const unsigned char*, int, bool, int, const char*> calls[] = {
      {0, tx, 1, true, 16, ""},
      {-1, tx, 1, true, 16, ""},
      {fd, nullptr, 1, true, 16, ""},
      {fd, tx, 1, false, 16, ""},
      {fd, tx, 0, true, 16, "Warn Command length 0 is out of range."},
      {fd, tx, 251, true, 16, "Warn Command length 251 is out of range."},
      {fd, tx, 1, true, 0, "Warn Reply room 0 is out of range."},
  };
  for (const auto& [callFd, command, txLength, withRx, rxCapacity, lines] : calls) {
    SCOPED_TRACE(std::to_string(callFd) + " " + std::to_string(txLength));
    LogCapture log;
    WaitCounter waits;
    Bytes rx(16, kPresetByte);
    EXPECT_EQ(
        rfidElatecTransceive(callFd, command, txLength, withRx ? rx.data() : nullptr, rxCapacity),
        -1);
    EXPECT_EQ(waits.count(), 0);
    EXPECT_EQ(rx, Bytes(16, kPresetByte));
    EXPECT_EQ(log.messages(), lines);
  }
  WaitCounter waits;
  unsigned char sak = kPresetByte;
  EXPECT_FALSE(rfidElatecGetSak(0, &sak) || rfidElatecGetSak(fd, nullptr));
  EXPECT_EQ(waits.count(), 0);
  EXPECT_EQ(sak, kPresetByte);
}

TEST(GetSakTest, EveryReplyGetsItsResultAndLog) {
  const std::tuple<Bytes, bool, unsigned char, const char*> cases[] = {
      {{0x03, 0x00, 0x00, 0x01, 0x20}, true, 0x20, "Info Card SAK read."},
      {{0x03, 0x00, 0x00, 0x01, 0x08}, true, 0x08, "Info Card SAK read."},
      {{0x02, 0x00, 0x00, 0x01}, false, kPresetByte, "Warn Incomplete reply: 4 bytes."},
      {{0x02, 0x00, 0x00, 0x00}, false, kPresetByte, "Info No SAK: no card selected."},
      {{0x02, 0x00, 0x00, 0x07}, false, kPresetByte, "Warn Please try again."},
      {{}, false, kPresetByte, ""},
  };
  for (const auto& [reply, result, expected, lines] : cases) {
    LogCapture log;
    ScriptedReader reader;
    reader.answer(reply);
    unsigned char sak = kPresetByte;
    EXPECT_EQ(rfidElatecGetSak(reader.fd(), &sak), result);
    EXPECT_EQ(sak, expected);
    EXPECT_EQ(reader.requests(), std::vector<Bytes>{Bytes({0x02, 0x00, 0x12, 0x05})});
    EXPECT_EQ(log.messages(), lines);
  }
}

}  // namespace
}  // namespace rfid::testing
