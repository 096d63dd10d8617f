// The quiet reply wait (rfidSetReplyWait): it changes when an exchange
// reads, never what the operations make of a reply. The table of replies
// runs through both waits; a few replies with real timing show where the
// quiet wait ends.
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <thread>

#include "operations.h"

namespace rfid::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Quiet (or another mode) for its lifetime, then the module's default again.
struct QuietWait {
  explicit QuietWait(int quietMs, int mode = RFID_REPLY_WAIT_QUIET) {
    EXPECT_EQ(rfidSetReplyWait(mode, quietMs), 0);
  }
  ~QuietWait() { rfidSetReplyWait(RFID_REPLY_WAIT_FIXED, kDefaultQuietMs); }
};

// One operation against the scripted reader: result, buffer and log. With
// `quiet`, the module's own quiet wait runs while a thread answers.
std::tuple<bool, Bytes, std::string> run(const Operation& op, const Bytes& reply, bool quiet) {
  LogCapture log;
  ScriptedReader reader;
  reader.answer(reply);
  if (quiet) reader.useRealWait();
  std::thread readerSide([&reader, quiet] {
    if (quiet) reader.serveOnce();
  });
  Bytes buffer = kUntouched;
  const bool result =
      op.call(reader.fd(), op.family == Family::kElatec ? 1 : 0, op.block, buffer.data());
  readerSide.join();
  return {result, buffer, log.messages()};
}

TEST(ReplyWaitTest, EveryReplyGivesTheSameOutcomeInBothWaits) {
  for (const ReplyCase& c : kReplyCases) {
    SCOPED_TRACE(std::string(c.operation) + " reply " + ::testing::PrintToString(c.reply));
    const Operation& op = kOperations.at(c.operation);
    const auto fixed = run(op, c.reply, false);
    // A reply that never comes costs the whole bound: shortened for those.
    const ScopedQuietWaitBound bound(c.reply.empty() ? 50000 : kExchangeWaitUs);
    for (const int mode : {RFID_REPLY_WAIT_QUIET, RFID_REPLY_WAIT_FRAME}) {
      const QuietWait quiet(5, mode);
      EXPECT_EQ(run(op, c.reply, true), fixed) << "mode " << mode;
    }
  }
}

// Bursts of a reply sent at set times (ms after the request was read), then
// one exchange of `frame` in the quiet wait (or `mode`): the bytes it read
// and how long it took.
std::pair<Bytes, milliseconds> quietExchange(const std::vector<std::pair<int, Bytes>>& bursts,
                                             int quietMs, int mode = RFID_REPLY_WAIT_QUIET,
                                             Bytes frame = {0x03, 0x20, 0x01, 0x22}) {
  ScriptedReader reader;
  reader.useRealWait();
  const QuietWait quiet(quietMs, mode);
  std::thread readerSide([&] {
    reader.serveOnce();  // nothing scripted: the bursts are the reply
    const auto start = Clock::now();
    for (const auto& [at, bytes] : bursts) {
      std::this_thread::sleep_until(start + milliseconds(at));
      reader.sendStale(bytes);
    }
  });
  unsigned char rx[kReceiveSize] = {};
  const auto start = Clock::now();
  const int result = system_command(reader.fd(), frame.data(), static_cast<int>(frame.size()), rx);
  const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  readerSide.join();
  return {Bytes(rx, rx + std::max(result, 0)), elapsed};
}

Bytes counting(std::size_t size, unsigned char first = 1) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

// The only tests that measure real time; the bounds are generous, as the
// machine is shared. A reply in two bursts 10 ms apart is read whole (20 ms
// quiet); over 256 bytes it is cut to 256; a reply that begins at 490 ms
// and goes on is read as far as it came at 500 ms; no reply waits 500 ms.
TEST(ReplyWaitTest, QuietWaitEndsAfterTheReplyButNeverPastHalfASecond) {
  const auto [whole, soon] = quietExchange({{0, counting(6)}, {10, counting(5, 7)}}, 20);
  EXPECT_EQ(whole, counting(11));
  EXPECT_LT(soon, milliseconds(400));
  EXPECT_EQ(quietExchange({{0, counting(200)}, {5, counting(100, 201)}}, 20).first, counting(256));

  std::vector<std::pair<int, Bytes>> stream;
  for (int at = 490; at < 1000; at += 2) {
    stream.emplace_back(at, Bytes{static_cast<unsigned char>(stream.size() + 1)});
  }
  const auto [begun, late] = quietExchange(stream, 100);
  EXPECT_EQ(begun, counting(begun.size()));
  EXPECT_GE(late, milliseconds(500));
  EXPECT_LT(late, milliseconds(900)) << "a reply still arriving ends the wait at 500 ms";

  const auto [none, full] = quietExchange({}, 20);
  EXPECT_TRUE(none.empty());
  EXPECT_GE(full, milliseconds(500));
}

// The frame wait ends once the reply is as long as it announced, without
// the quiet time (100 ms here), and leaves what follows to the next
// exchange's flush; an Elatec and a VOR request, their replies in bursts.
// Bytes right behind the announced end are read with the reply.
// A reply shorter than announced ends after the quiet time, and one
// request in neither layout gets the quiet wait.
TEST(ReplyWaitTest, FrameWaitEndsWithTheAnnouncedReply) {
  const Bytes search = {0x03, 0x00, 0x05, 0x00, 0x10};
  const Bytes request = {0x03, 0x20, 0x01, 0x22};
  const Bytes tag = {0x09, 0x00, 0x00, 0x01, 0x01, 0x00, 0x04, 0xA1, 0xB2, 0xC3, 0xD4};
  const Bytes noTag = {0x02, 0x00, 0x00, 0x00};
  Bytes spliced(tag.begin(), tag.begin() + 7);
  spliced.insert(spliced.end(), noTag.begin(), noTag.end());
  spliced.insert(spliced.end(), tag.begin() + 7, tag.end());
  const Bytes serial = {0x08, 0x20, 0xA1, 0xB2, 0xC3, 0xD4, 0x08, 0x00, 0x44};
  const Bytes getSak = {0x02, 0x00, 0x12, 0x05};  // the shortest Elatec request
  const Bytes sak = {0x03, 0x00, 0x00, 0x01, 0x20};
  const struct {
    Bytes frame;
    std::vector<std::pair<int, Bytes>> bursts;
    Bytes read;
    bool early;
  } cases[] = {
      {search, {{0, {tag.begin(), tag.begin() + 3}}, {5, {tag.begin() + 3, tag.end()}}}, tag, true},
      {search, {{0, tag}, {40, {0xEE, 0xEE}}}, tag, true},
      // An earlier reply relayed into this one makes it look whole by its
      // count; the bytes right behind it show that it was not.
      {search,
       {{0, {tag.begin(), tag.begin() + 7}}, {0, noTag}, {5, {tag.begin() + 7, tag.end()}}},
       spliced,
       true},
      {request,
       {{0, {serial.begin(), serial.begin() + 2}}, {5, {serial.begin() + 2, serial.end()}}},
       serial,
       true},
      {request,
       {{0, {serial.begin(), serial.end() - 1}}},
       {serial.begin(), serial.end() - 1},
       false},
      {getSak, {{0, sak}}, sak, true},
      {{0xF0, 0xF1, 0xF2, 0xF3}, {{0, tag}}, tag, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.frame) + " " + ::testing::PrintToString(c.read));
    const auto [read, took] = quietExchange(c.bursts, 100, RFID_REPLY_WAIT_FRAME, c.frame);
    EXPECT_EQ(read, c.read);
    if (c.early) {
      EXPECT_LT(took, milliseconds(90));
    } else {
      EXPECT_GE(took, milliseconds(100));
    }
  }
}

// A regular file polls readable and counts its unread rest, which would end
// the quiet wait at once: epoll refuses it, and it gets the fixed wait
// (here the shortened bound) and the one read as before.
TEST(ReplyWaitTest, RegularFileGetsTheFixedWait) {
  const ScopedQuietWaitBound bound(100000);
  const QuietWait quiet(1);
  char path[] = "/tmp/rfid-reply-wait-XXXXXX";
  const rfid_serial::UniqueFd file(mkstemp(path));
  unlink(path);
  ASSERT_EQ(write(file.get(), counting(64).data(), 64), 64);
  lseek(file.get(), 0, SEEK_SET);
  unsigned char frame[] = {0xF0, 0xF1, 0xF2, 0xF3}, rx[kReceiveSize] = {};
  const auto start = Clock::now();
  EXPECT_EQ(system_command(file.get(), frame, sizeof frame, rx), 60);
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  EXPECT_EQ(Bytes(rx, rx + 60), counting(60, 5));
}

// Modes are 0, 1 and 3 (2 was never one); the quiet time 1 ms to its bound.
TEST(ReplyWaitTest, OnlyKnownModesAndQuietTimesAreTaken) {
  struct Setting {
    int mode;
    int quietMs;
    int result;
  };
  for (const Setting& setting :
       {Setting{2, 20, -1}, Setting{4, 20, -1}, Setting{-1, 20, -1},
        Setting{RFID_REPLY_WAIT_QUIET, 0, -1}, Setting{RFID_REPLY_WAIT_QUIET, kMaxQuietMs + 1, -1},
        Setting{RFID_REPLY_WAIT_FRAME, kMaxQuietMs, 0}, Setting{RFID_REPLY_WAIT_FIXED, 1, 0}}) {
    EXPECT_EQ(rfidSetReplyWait(setting.mode, setting.quietMs), setting.result)
        << "mode " << setting.mode << ", " << setting.quietMs << " ms";
  }
  rfidSetReplyWait(RFID_REPLY_WAIT_FIXED, kDefaultQuietMs);
}

}  // namespace
}  // namespace rfid::testing
