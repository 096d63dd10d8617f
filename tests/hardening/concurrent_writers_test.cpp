// Eight processes append ten thousand entries each to the same monthly
// file, messages of random length up to the 4095-byte limit made of random
// characters (newlines and control characters included, only the zero byte
// left out, since it ends a "%s" argument). Every entry must be found
// whole: none torn, interleaved or lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "rfid_internal.h"

namespace rfid::hardening {
namespace {

constexpr int kWriters = 8;
constexpr int kEntriesPerWriter = 10000;
constexpr std::size_t kStampSize = 24;   // "[YYYY.MM.DD hh:mm:ss] - "
constexpr std::size_t kHeaderSize = 10;  // "w%d n%05d "

// The message of entry `index` of `writer`: a fixed-width header that says
// whose it is, then random bytes up to a random total length of at most
// 4095. Both sides generate it, so the reader of the file knows exactly
// what each entry must hold.
std::string messageOf(int writer, int index) {
  std::mt19937 random(static_cast<unsigned>(writer * kEntriesPerWriter + index + 1));
  const std::size_t length = kHeaderSize + random() % (kMessageSize - kHeaderSize);
  char header[kHeaderSize + 1];
  std::snprintf(header, sizeof header, "w%d n%05d ", writer, index);
  std::string message(header, kHeaderSize);
  while (message.size() < length) message.push_back(static_cast<char>(1 + random() % 255));
  return message;
}

int writeEntries(int writer) {
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  for (int index = 0; index < kEntriesPerWriter; ++index) {
    const std::string message = messageOf(writer, index);
    if (StoreLogMessage("%s", message.c_str()) != static_cast<int>(message.size())) return 1;
  }
  return 0;
}

// "[YYYY.MM.DD hh:mm:ss] - w%d n%05d " at `at`: the stamp and the header.
bool parseStampAndHeader(const std::string& file, std::size_t at, int& writer, int& index) {
  if (at + kStampSize + kHeaderSize > file.size()) return false;
  const std::string start = file.substr(at, kStampSize + kHeaderSize);
  int fields[6];
  int consumed = 0;
  return std::sscanf(start.c_str(), "[%4d.%2d.%2d %2d:%2d:%2d] - w%1d n%5d %n", &fields[0],
                     &fields[1], &fields[2], &fields[3], &fields[4], &fields[5], &writer, &index,
                     &consumed) == 8 &&
         consumed == static_cast<int>(start.size()) && writer < kWriters;
}

TEST(ConcurrentWritersTest, EveryEntryOfEightAppendingProcessesIsFoundWhole) {
  const char* tmp = std::getenv("TMPDIR");
  std::string directory = std::string(tmp != nullptr ? tmp : "/tmp") + "/rfid-writers-XXXXXX";
  ASSERT_NE(mkdtemp(directory.data()), nullptr);
  const char* const savedDirectory = rfid::logDirectory;
  rfid::logDirectory = directory.c_str();

  std::vector<pid_t> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.push_back(startChild([writer] { return writeEntries(writer); }));
  }
  for (pid_t pid : writers) {
    const ChildEnd end = waitForChild(pid);
    EXPECT_TRUE(end.cleanExit()) << end.describe();
  }
  rfid::logDirectory = savedDirectory;

  std::string file;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    file += content.str();  // one file, or two if a month ended during the run
  }
  std::filesystem::remove_all(directory);

  // Walk the file entry by entry: stamp, header, the exact message, newline.
  std::vector<int> nextIndex(kWriters, 0);
  int whole = 0;
  std::size_t at = 0;
  while (at < file.size()) {
    int writer = -1;
    int index = -1;
    if (!parseStampAndHeader(file, at, writer, index)) break;
    const std::string message = messageOf(writer, index);
    const std::size_t end = at + kStampSize + message.size();
    if (end >= file.size() || file.compare(at + kStampSize, message.size(), message) != 0 ||
        file[end] != '\n') {
      break;
    }
    // A writer's own entries arrive in the order it wrote them.
    if (index != nextIndex[static_cast<std::size_t>(writer)]) break;
    ++nextIndex[static_cast<std::size_t>(writer)];
    ++whole;
    at = end + 1;
  }
  std::printf("concurrent writers: %d of %d entries found whole (%zu bytes)\n", whole,
              kWriters * kEntriesPerWriter, file.size());
  RecordProperty("entries_whole", whole);
  EXPECT_EQ(at, file.size()) << "torn or interleaved entry at byte " << at;
  EXPECT_EQ(whole, kWriters * kEntriesPerWriter);
}

}  // namespace
}  // namespace rfid::hardening
