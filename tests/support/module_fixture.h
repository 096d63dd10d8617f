// Shared pieces of the module's operation tests: a fixture that puts the
// exported variables back after each test, a wait counter for calls that
// must not reach the reader, and a table runner for reply cases.
#ifndef RFID_TESTS_MODULE_FIXTURE_H
#define RFID_TESTS_MODULE_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "rfid_internal.h"
#include "scripted_reader.h"

namespace rfid::testing {

// Tests change the key table and command codes the way a host would; the
// next test must still see the shipped values.
class ModuleTest : public ::testing::Test {
 protected:
  ModuleTest() { std::memcpy(keys_, sectorKeyA, sizeof keys_); }
  ~ModuleTest() override {
    std::memcpy(sectorKeyA, keys_, sizeof keys_);
    RFID_CMD_REQUEST_SN = requestSn_;
    RFID_CMD_BLOCK_READ = blockRead_;
    RFID_CMD_BLOCK_WRITE = blockWrite_;
    RFID_CMD_HALT_14443A = halt_;
    RFID_CMD_BUZZER_SET = buzzer_;
    REQA = reqa_;
  }

 private:
  unsigned char keys_[COLUMN][ROW] = {};
  std::uint32_t requestSn_ = RFID_CMD_REQUEST_SN, blockRead_ = RFID_CMD_BLOCK_READ,
                blockWrite_ = RFID_CMD_BLOCK_WRITE, halt_ = RFID_CMD_HALT_14443A,
                buzzer_ = RFID_CMD_BUZZER_SET;
  unsigned char reqa_ = REQA;
};

// Replaces the exchange wait by a counter: the module waits only after a
// frame was written, so a count of zero means nothing went out.
class WaitCounter {
 public:
  WaitCounter() : saved_(exchangeWait) {
    count_ = 0;
    exchangeWait = [] { ++count_; };
  }
  ~WaitCounter() { exchangeWait = saved_; }
  WaitCounter(const WaitCounter&) = delete;
  WaitCounter& operator=(const WaitCounter&) = delete;
  int count() const { return count_; }

 private:
  static inline int count_ = 0;
  ExchangeWait saved_;
};

inline Bytes bytesOf(const unsigned char* bytes, std::size_t count) {
  return Bytes(bytes, bytes + count);
}

// The checksummed reader's frame trailer: XOR of every byte before it.
inline Bytes withChecksum(Bytes frame) {
  unsigned char sum = 0;
  for (const unsigned char byte : frame) sum ^= byte;
  frame.push_back(sum);
  return frame;
}

// The first `count` bytes: a reply that ended early.
inline Bytes head(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

inline Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Gives row s of the key table the bytes s0 s1 .. s5 (hex), then overwrites
// row 2 the way a host provisions its own key. Returns the key that a frame
// for `sector` must carry.
inline Bytes provisionDistinctKeys(int sector) {
  const Bytes hostKey = {'H', 'O', 'S', 'T', 'K', 'Y'};
  for (int row = 0; row < COLUMN; ++row) {
    for (int i = 0; i < ROW; ++i) sectorKeyA[row][i] = static_cast<unsigned char>(row * 16 + i);
  }
  std::copy(hostKey.begin(), hostKey.end(), sectorKeyA[2]);
  Bytes key;
  for (int i = 0; i < ROW; ++i) key.push_back(static_cast<unsigned char>(sector * 16 + i));
  return sector == 2 ? hostKey : key;
}

// "Info Text." as LogCapture::messages() shows it for `function` in `source`.
inline std::string logLine(const std::string& source, const std::string& function,
                           const std::string& levelAndText) {
  const std::size_t space = levelAndText.find(' ');
  return "[" + source + ":N][" + function + "][" + levelAndText.substr(0, space) + "] " +
         levelAndText.substr(space + 1) + "\n";
}

// Sets TZ (or unsets it, for null) for its lifetime; the suite's own TZ
// comes back. It never calls tzset(): noticing the change is the log's job.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* saved = std::getenv("TZ")) saved_ = saved;
    set(zone);
  }
  ~ScopedTimeZone() { set(saved_.empty() ? nullptr : saved_.c_str()); }
  static void set(const char* zone) {
    if (zone != nullptr)
      setenv("TZ", zone, 1);
    else
      unsetenv("TZ");
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::string saved_;
};

// One scripted reply and what the operation must make of it.
struct ReplyCase {
  Bytes reply;  // empty: the reader stays quiet
  bool result;
  Bytes written;                   // expected head of the output; empty: left as preset
  std::vector<std::string> lines;  // expected log lines, "Level Text."
};

// Runs `operation(fd, output)` once per case against a fresh reader and log,
// the output preset to `preset`, and checks the request, the result, the
// output and the log.
template <typename Operation>
void expectReplies(const char* source, const char* function, const Bytes& request,
                   const Bytes& preset, const std::vector<ReplyCase>& cases, Operation operation) {
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(std::string(function) + " reply " + ::testing::PrintToString(c.reply));
    LogCapture log;
    ScriptedReader reader;
    if (c.reply.empty()) {
      reader.stayQuiet();
    } else {
      reader.answer(c.reply);
    }
    Bytes output = preset;
    EXPECT_EQ(operation(reader.fd(), output.data()), c.result);
    EXPECT_EQ(reader.requests(), std::vector<Bytes>{request});
    Bytes expected = preset;
    std::copy(c.written.begin(), c.written.end(), expected.begin());
    EXPECT_EQ(output, expected);
    std::vector<std::string> lines;
    for (const std::string& line : c.lines) lines.push_back(logLine(source, function, line));
    EXPECT_EQ(log.messages(), lines);
  }
}

}  // namespace rfid::testing

#endif  // RFID_TESTS_MODULE_FIXTURE_H
