// GetSAK and the ISO 14443-4 exchange (TDX) of the Elatec reader: the
// frames they send, what they make of each reply (result, the caller's
// buffer, the log), and the calls they refuse before anything is sent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "operations.h"

namespace rfid::testing {
namespace {

constexpr unsigned char kPresetByte = 0x5A;

// AuthenticateEV2First with key 0, as an ISO 7816 APDU.
const Bytes kAuthenticateFirst = {0x90, 0x71, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};

struct TransceiveCase {
  const char* what;
  Bytes tx;
  int rxCapacity;
  Bytes request;  // as it must leave
  Bytes reply;    // empty: the reader stays quiet
  int result;
  Bytes received;  // the head of rx; the rest keeps its preset
  const char* log;
};

// The reader's documented example (payload 12 03 01 60 20 gives 00 01 02 6F
// 00) and the authentication's first step, then replies whose RX length
// claims more than arrived or than fits, and the reader's failure answers.
const TransceiveCase kTransceiveCases[] = {
    {"documented example",
     {0x60},
     0x20,
     {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x20},
     {0x05, 0x00, 0x00, 0x01, 0x02, 0x6F, 0x00},
     2,
     {0x6F, 0x00},
     "Info Card exchange: 1 bytes sent, 2 received."},
    {"authenticate, largest reply asked",
     kAuthenticateFirst,
     300,
     concat(concat({0x0C, 0x00, 0x12, 0x03, 0x08}, kAuthenticateFirst), {0xFB}),
     {0x03, 0x00, 0x00, 0x01, 0x00},
     0,
     {},
     "Info Card exchange: 8 bytes sent, 0 received."},
    {"authenticate, room 251",
     kAuthenticateFirst,
     251,
     concat(concat({0x0C, 0x00, 0x12, 0x03, 0x08}, kAuthenticateFirst), {0xFB}),
     {0x05, 0x00, 0x00, 0x01, 0x02, 0x91, 0xAF},
     2,
     {0x91, 0xAF},
     "Info Card exchange: 8 bytes sent, 2 received."},
    {"claims more than arrived",
     {0x60},
     0x20,
     {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x20},
     {0x05, 0x00, 0x00, 0x01, 0x03, 0x6F, 0x00},
     -1,
     {},
     "Warn Incomplete reply: 7 bytes."},
    {"claims more than fits",
     {0x60},
     1,
     {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x01},
     {0x05, 0x00, 0x00, 0x01, 0x02, 0x6F, 0x00},
     -1,
     {},
     "Warn Incomplete reply: 7 bytes."},
    {"ends before the RX length",
     {0x60},
     0x20,
     {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x20},
     {0x02, 0x00, 0x00, 0x01},
     -1,
     {},
     "Warn Incomplete reply: 4 bytes."},
    {"card did not answer",
     {0x60},
     0x20,
     {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x20},
     {0x02, 0x00, 0x00, 0x00},
     -1,
     {},
     "Info Card exchange fail."},
    {"unknown result",
     {0x60},
     0x20,
     {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x20},
     {0x02, 0x00, 0x01, 0x02},
     -1,
     {},
     "Warn Please try again."},
    {"no reply", {0x60}, 0x20, {0x05, 0x00, 0x12, 0x03, 0x01, 0x60, 0x20}, {}, -1, {}, ""},
};

TEST(TransceiveTest, EveryReplyGetsItsResultBufferAndLog) {
  for (const TransceiveCase& c : kTransceiveCases) {
    SCOPED_TRACE(c.what);
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

// The longest command and the longest reply fill the module's 256-byte
// frames exactly.
TEST(TransceiveTest, LongestCommandAndReplyFitTheFrames) {
  LogCapture log;
  ScriptedReader reader;
  Bytes tx(static_cast<std::size_t>(elatec::kMaxTransceiveTx), 0);
  for (std::size_t i = 0; i < tx.size(); ++i) tx[i] = static_cast<unsigned char>(i);
  Bytes reply = {0xFE, 0x00, 0x00, 0x01, 0xFB};
  for (int i = 0; i < 251; ++i) reply.push_back(static_cast<unsigned char>(0xFF - i));
  reader.answer(reply);
  Bytes rx(251, 0);
  EXPECT_EQ(rfidElatecTransceive(reader.fd(), tx.data(), 250, rx.data(), 251), 251);
  ASSERT_EQ(reader.requests().size(), 1U);
  EXPECT_EQ(reader.requests()[0], concat(concat({0xFE, 0x00, 0x12, 0x03, 0xFA}, tx), {0xFB}));
  EXPECT_EQ(rx, Bytes(reply.begin() + 5, reply.end()));
}

// Refused before anything is sent, with nothing written: no reader, no
// buffers, a command of 0 or more than 250 bytes, no room for a reply.
TEST(TransceiveTest, BadArgumentsSendNothing) {
  ScriptedReader reader;
  unsigned char tx[251] = {0x60};
  struct Call {
    int fd;
    const unsigned char* tx;
    int txLength;
    bool withRx;
    int rxCapacity;
    const char* log;
  };
  const Call calls[] = {
      {0, tx, 1, true, 16, ""},
      {-1, tx, 1, true, 16, ""},
      {reader.fd(), nullptr, 1, true, 16, ""},
      {reader.fd(), tx, 1, false, 16, ""},
      {reader.fd(), tx, 0, true, 16, "Warn Command length 0 is out of range."},
      {reader.fd(), tx, -5, true, 16, "Warn Command length -5 is out of range."},
      {reader.fd(), tx, 251, true, 16, "Warn Command length 251 is out of range."},
      {reader.fd(), tx, 1, true, 0, "Warn Reply room 0 is out of range."},
      {reader.fd(), tx, 1, true, -1, "Warn Reply room -1 is out of range."},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(std::to_string(call.fd) + " " + std::to_string(call.txLength) + " " +
                 std::to_string(call.rxCapacity));
    LogCapture log;
    WaitCounter waits;
    Bytes rx(16, kPresetByte);
    EXPECT_EQ(rfidElatecTransceive(call.fd, call.tx, call.txLength,
                                   call.withRx ? rx.data() : nullptr, call.rxCapacity),
              -1);
    EXPECT_EQ(waits.count(), 0);
    EXPECT_EQ(rx, Bytes(16, kPresetByte));
    EXPECT_EQ(log.messages(), call.log);
  }
  LogCapture log;
  unsigned char sak = kPresetByte;
  WaitCounter waits;
  EXPECT_FALSE(rfidElatecGetSak(0, &sak));
  EXPECT_FALSE(rfidElatecGetSak(-1, &sak));
  EXPECT_FALSE(rfidElatecGetSak(reader.fd(), nullptr));
  EXPECT_EQ(waits.count(), 0);
  EXPECT_EQ(sak, kPresetByte);
  EXPECT_EQ(reader.requests().size(), 0U);
  EXPECT_EQ(log.messages(), "");
}

TEST(GetSakTest, EveryReplyGetsItsResultAndLog) {
  struct Case {
    Bytes reply;
    bool result;
    unsigned char sak;
    const char* log;
  };
  const Case cases[] = {
      {{0x03, 0x00, 0x00, 0x01, 0x20}, true, 0x20, "Info Card SAK read."},
      {{0x03, 0x00, 0x00, 0x01, 0x08}, true, 0x08, "Info Card SAK read."},
      {{0x02, 0x00, 0x00, 0x01}, false, kPresetByte, "Warn Incomplete reply: 4 bytes."},
      {{0x02, 0x00, 0x00, 0x00}, false, kPresetByte, "Info No SAK: no card selected."},
      {{0x02, 0x00, 0x00, 0x07}, false, kPresetByte, "Warn Please try again."},
      {{}, false, kPresetByte, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.reply));
    LogCapture log;
    ScriptedReader reader;
    reader.answer(c.reply);
    unsigned char sak = kPresetByte;
    EXPECT_EQ(rfidElatecGetSak(reader.fd(), &sak), c.result);
    EXPECT_EQ(sak, c.sak);
    EXPECT_EQ(reader.requests(), std::vector<Bytes>{Bytes({0x02, 0x00, 0x12, 0x05})});
    EXPECT_EQ(log.messages(), c.log);
  }
}

// Card bytes (the command, keys' cryptograms, the card's random numbers)
// never reach a log line, whatever the exchange comes to.
TEST(TransceiveTest, NoCardByteInAnyLogLine) {
  const Bytes secret = {0xC3, 0x5E, 0xA7, 0x19, 0xD2, 0x4B, 0x86, 0xF1};
  const Bytes replies[] = {concat({0x0B, 0x00, 0x00, 0x01, 0x08}, secret),
                           concat({0x0B, 0x00, 0x00, 0x01, 0x09}, secret),
                           concat({0x0B, 0x00, 0x00, 0x00, 0x08}, secret),
                           {}};
  for (const Bytes& reply : replies) {
    LogCapture log;
    ScriptedReader reader;
    reader.answer(reply);
    unsigned char rx[16];
    rfidElatecTransceive(reader.fd(), secret.data(), static_cast<int>(secret.size()), rx,
                         sizeof rx);
    const std::string lines = log.messages() + log.file();
    for (const char* shown : {"C35E", "c35e", "C3 5E", "\xC3\x5E"}) {
      EXPECT_EQ(lines.find(shown), std::string::npos) << lines;
    }
  }
}

}  // namespace
}  // namespace rfid::testing
