// The diagnostics log: the console line, the monthly file entry, and the UTC
// stamp handed to hosts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "module_fixture.h"

namespace rfid::testing {
namespace {

const std::string kStamp = R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] - )";

TEST(LogTest, ConsoleLineAndFileEntryShareOneStampedLine) {
  LogCapture log;
  EXPECT_EQ(StoreLogMessage("reader %d on %s\n", 2, "ttyS1"),
            static_cast<int>(std::strlen("reader 2 on ttyS1\n")));
  const std::string console = log.console();
  EXPECT_TRUE(std::regex_match(console, std::regex(kStamp + "reader 2 on ttyS1\n"))) << console;
  EXPECT_EQ(log.file(), console + "\n");
  // The file is named after the year and month of the stamp's own reading.
  EXPECT_EQ(log.filePath(), log.directory() + "/[" + console.substr(1, 7) + "]SystemLog");
}

// Each message reaches the console as formatted (cut to 4095 bytes) and the
// file as the console line plus a newline, with or without its own newline;
// nothing passes through a shell. The return value is the uncut length.
TEST(LogTest, MessagesReachConsoleAndFileUnchangedUpTo4095Bytes) {
  const std::string marker = "/tmp/rfid-log-test-injected";
  const std::string special =
      "\"$(touch " + marker + ")\" `touch " + marker + "` $HOME \\ \x01\t\x1b[0m\r\n";
  for (const std::string& text : {std::string(5000, 'x'), std::string("no newline"), special}) {
    LogCapture log;
    EXPECT_EQ(StoreLogMessage("%s", text.c_str()), static_cast<int>(text.size()));
    EXPECT_EQ(log.messages(), std::vector<std::string>{text.substr(0, 4095)});
    EXPECT_EQ(log.file(), log.console() + "\n");
  }
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the message went through a shell";
  std::remove(marker.c_str());
}

TEST(LogTest, EntriesAreAppendedToWhatTheFileAlreadyHolds) {
  LogCapture log;
  std::ofstream(log.filePath()) << "earlier entry\n";
  StoreLogMessage("first\n");
  StoreLogMessage("second\n");
  const std::string console = log.console();
  const std::size_t firstEnd = console.find('\n') + 1;
  EXPECT_EQ(log.file(), "earlier entry\n" + console.substr(0, firstEnd) + "\n" +
                            console.substr(firstEnd) + "\n");
}

TEST(LogTest, FileIsCreatedReadWriteForAllLessTheUmask) {
  for (const auto& [mask, mode] : {std::pair<mode_t, mode_t>{022, 0644}, {077, 0600}, {0, 0666}}) {
    LogCapture log;
    const mode_t saved = umask(mask);
    StoreLogMessage("created\n");
    umask(saved);
    struct stat info {};
    ASSERT_EQ(stat(log.filePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, mode) << "umask " << mask;
  }
}

// Seconds since the epoch of a stamp's fields read as UTC, whatever its
// date separator; -1 when it holds no stamp.
std::time_t stampSeconds(const std::string& stamp) {
  std::tm fields{};
  if (std::sscanf(stamp.c_str(), "[%d%*c%d%*c%d %d:%d:%d]", &fields.tm_year, &fields.tm_mon,
                  &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec) != 6) {
    return -1;
  }
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  return timegm(&fields);
}

TEST(LogTest, TimeStringIsUtcWithDashesWhileLogStampIsLocalWithDots) {
  // Three hours east of UTC, spelled out so that no zone files are needed.
  constexpr std::time_t kZoneOffset = 3 * 3600;
  const ScopedTimeZone zone("XST-3");
  LogCapture log;
  char* const first = getTimeString();
  StoreLogMessage("now\n");
  char* const second = getTimeString();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  const std::string before = first, after = second, line = log.console();
  std::free(first);
  std::free(second);
  EXPECT_TRUE(std::regex_match(before, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])")))
      << before;
  const std::time_t utcBefore = stampSeconds(before);
  const std::time_t utcAfter = stampSeconds(after);
  const std::time_t local = stampSeconds(line);
  EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + "now\n"))) << line;
  EXPECT_GE(local - kZoneOffset, utcBefore);
  EXPECT_LE(local - kZoneOffset, utcAfter);
}

// Local time minus UTC, in seconds, of the entry that the log writes now.
std::time_t loggedZoneOffset(LogCapture& log) {
  char* const utc = getTimeString();
  StoreLogMessage("zone\n");
  const std::string console = log.console();
  const std::string last = console.substr(console.rfind('\n', console.size() - 2) + 1);
  const std::time_t offset = stampSeconds(last) - stampSeconds(utc);
  std::free(utc);
  return offset;
}

// The zone that entries carry follows TZ as it is set and unset, without the
// host calling tzset(); rounding to minutes absorbs a second boundary.
TEST(LogTest, StampFollowsTimeZoneWhenTzIsSetAndUnset) {
  const ScopedTimeZone unset(nullptr);
  LogCapture log;
  const std::time_t systemOffset = loggedZoneOffset(log) / 60;
  const bool systemIsNine = systemOffset == 9 * 60;
  ScopedTimeZone::set(systemIsNine ? "XST-4" : "JST-9");
  EXPECT_EQ(loggedZoneOffset(log) / 60, systemIsNine ? 4 * 60 : 9 * 60);
  ScopedTimeZone::set(nullptr);
  EXPECT_EQ(loggedZoneOffset(log) / 60, systemOffset);
  ScopedTimeZone::set("XST-3");
  EXPECT_EQ(loggedZoneOffset(log) / 60, 3 * 60);
}

// Hosts log from several threads; every entry arrives whole. Under
// ThreadSanitizer (the tsan preset) this also proves the log shares no
// unguarded state between threads.
TEST(LogTest, TwoThreadsLogAtOnce) {
  LogCapture log;
  constexpr int kPerThread = 200;
  auto writer = [](char tag) {
    for (int i = 0; i < kPerThread; ++i) StoreLogMessage("thread %c entry %d\n", tag, i);
  };
  std::thread first(writer, 'a');
  std::thread second(writer, 'b');
  first.join();
  second.join();
  std::istringstream file(log.file());
  int entries = 0;
  for (std::string line; std::getline(file, line);) {
    if (line.empty()) continue;
    EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + "thread [ab] entry \\d+"))) << line;
    ++entries;
  }
  EXPECT_EQ(entries, 2 * kPerThread);
}

}  // namespace
}  // namespace rfid::testing
