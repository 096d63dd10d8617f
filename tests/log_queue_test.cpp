// The queued log (rfidSetLogQueue): callers never wait for the medium; what
// the medium does not take is counted, reported and written as a count.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "operations.h"

namespace rfid::testing {
namespace {

using std::chrono::milliseconds;

struct LogQueue {
  LogQueue() { EXPECT_EQ(rfidSetLogQueue(1), 0); }
  ~LogQueue() { rfidSetLogQueue(0); }
};

int occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

template <typename Done>
bool eventually(Done done) {
  for (int i = 0; i < 250; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return done();
}

TEST(LogQueueTest, EntriesReachTheFileInOrderAndTheConsoleAtOnce) {
  LogCapture log;
  {
    const LogQueue queue;
    unsigned long before = 0;  // the count runs on for the life of the process
    rfidLogMediumState(&before);
    for (int i = 0; i < 200; ++i) StoreLogMessage("entry %03d", i);
    EXPECT_EQ(occurrences(log.console(), "] - entry "), 200);
    unsigned long lost = 1;
    EXPECT_TRUE(eventually([&] {
      return occurrences(log.file(), "] - entry ") == 200 && rfidLogMediumState(&lost) == 0;
    }));
    EXPECT_EQ(lost, before);
    // An idle writer with nothing lost writes nothing, however long it waits.
    std::this_thread::sleep_for(milliseconds(1200));
  }  // turned off: the queue is written first
  const std::string file = log.file();
  EXPECT_EQ(occurrences(file, "] - entry "), 200);
  EXPECT_LT(file.find("entry 000"), file.find("entry 199"));
  EXPECT_EQ(file.find("were lost"), std::string::npos);
  unsigned long lost = 1;
  EXPECT_EQ(rfidLogMediumState(&lost), 0);
  EXPECT_EQ(lost, 0u);
}

TEST(LogQueueTest, ABlockedMediumCostsEntriesNotTimeAndTheCountFollowsWhenItTakesThemAgain) {
  LogCapture log;
  // The monthly file is a FIFO nobody reads: opening it blocks.
  ASSERT_EQ(::mkfifo(log.filePath().c_str(), 0600), 0);
  const LogQueue queue;
  const std::string message(400, 'm');
  for (int i = 0; i < 1000; ++i) StoreLogMessage("%s", message.c_str());
  EXPECT_EQ(occurrences(log.console(), message), 1000);  // the console took every one
  unsigned long lost = 0;
  EXPECT_TRUE(eventually([&] { return rfidLogMediumState(&lost) == ETIMEDOUT; }));
  EXPECT_GT(lost, 800u);  // 64 KiB hold about 130 of them

  // Someone reads: the count of the lost entries follows the first entry
  // the medium takes, then the rest of the queue goes out, which on a slow
  // machine (valgrind) is still on its way when the count arrives.
  const rfid_serial::UniqueFd reader(::open(log.filePath().c_str(), O_RDONLY | O_NONBLOCK));
  std::string read;
  EXPECT_TRUE(eventually([&] {
    char chunk[65536];
    for (ssize_t got; (got = ::read(reader.get(), chunk, sizeof chunk)) > 0;) {
      read.append(chunk, static_cast<std::size_t>(got));
    }
    return read.find(" log entries were lost.") != std::string::npos &&
           static_cast<unsigned long>(occurrences(read, message)) + lost >= 1000u;
  }));
  const int written = occurrences(read, message);
  EXPECT_EQ(static_cast<unsigned long>(written) + lost, 1000u);
  EXPECT_NE(read.find("[Warn] " + std::to_string(lost) + " log entries were lost."),
            std::string::npos);
  EXPECT_EQ(rfidLogMediumState(nullptr), 0);
}

// The entry the missing directory cost is counted once, in the file, when
// the directory is back.
TEST(LogQueueTest, AMissingDirectoryIsReportedAndTheSettingTakesZeroOrOne) {
  LogCapture log;
  const LogQueue queue;
  {
    const ScopedLogDirectory gone("/nonexistent-log-directory");
    unsigned long before = 0;  // the count runs on for the life of the process
    rfidLogMediumState(&before);
    StoreLogMessage("lost");
    unsigned long lost = 0;
    EXPECT_TRUE(eventually([&] { return rfidLogMediumState(&lost) == ENOENT; }));
    EXPECT_EQ(lost - before, 1u);
  }
  EXPECT_TRUE(
      eventually([&] { return log.file().find("entries were lost.") != std::string::npos; }));
  std::this_thread::sleep_for(milliseconds(1200));  // the writer's next try, had it more
  EXPECT_EQ(occurrences(log.file(), "[Warn] 1 log entries were lost."), 1) << log.file();
  EXPECT_EQ(rfidSetLogQueue(2), -1);
}

}  // namespace
}  // namespace rfid::testing
