// Eight processes append ten thousand entries each to the same monthly
// file: messages of random length up to the 4095-byte limit, of random
// bytes (newlines and control characters included, only the zero byte left
// out, since it ends a "%s" argument). Every entry must be found whole:
// none torn, interleaved or lost, and each writer's in its own order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "scripted_reader.h"

namespace rfid::testing {
namespace {

constexpr int kWriters = 8;
constexpr int kEntriesPerWriter = 10000;
constexpr std::size_t kStampSize = 24;   // "[YYYY.MM.DD hh:mm:ss] - "
constexpr std::size_t kHeaderSize = 10;  // "w%d n%05d "

// The message of entry `index` of `writer`: a header that says whose it is,
// then random bytes up to a random length. Both sides generate it, so the
// reader of the file knows exactly what each entry must hold.
std::string messageOf(int writer, int index) {
  std::mt19937 random(static_cast<unsigned>(writer * kEntriesPerWriter + index + 1));
  std::string message(kHeaderSize + random() % (kMessageSize - kHeaderSize), '\0');
  std::snprintf(message.data(), kHeaderSize + 1, "w%d n%05d ", writer, index);
  for (std::size_t i = kHeaderSize; i < message.size(); ++i)
    message[i] = static_cast<char>(1 + random() % 255);
  return message;
}

TEST(ConcurrentWritersTest, EveryEntryOfEightAppendingProcessesIsFoundWhole) {
  LogCapture log;
  std::vector<pid_t> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
      for (int index = 0; index < kEntriesPerWriter; ++index) {
        const std::string message = messageOf(writer, index);
        if (StoreLogMessage("%s", message.c_str()) != static_cast<int>(message.size())) _exit(1);
      }
      _exit(0);
    }
    writers.push_back(pid);
  }
  for (const pid_t pid : writers) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }

  // Walk the file entry by entry: stamp, header, the exact message, newline.
  const std::string file = log.file();
  std::vector<int> nextIndex(kWriters, 0);
  int whole = 0;
  std::size_t at = 0;
  for (int writer = 0, index = 0; at < file.size(); ++whole) {
    // Scanned from a copy: sscanf takes the length of the whole string it gets.
    if (std::sscanf(file.substr(at + kStampSize, kHeaderSize).c_str(), "w%1d n%5d", &writer,
                    &index) != 2 ||
        writer >= kWriters || index != nextIndex[static_cast<std::size_t>(writer)]++) {
      break;
    }
    const std::string entry = messageOf(writer, index) + "\n";
    if (file.compare(at + kStampSize, entry.size(), entry) != 0) break;
    at += kStampSize + entry.size();
  }
  std::fprintf(stderr, "concurrent writers: %d of %d entries found whole (%zu bytes)\n", whole,
               kWriters * kEntriesPerWriter, file.size());
  EXPECT_EQ(at, file.size()) << "torn or interleaved entry at byte " << at;
  EXPECT_EQ(whole, kWriters * kEntriesPerWriter);
}

}  // namespace
}  // namespace rfid::testing
