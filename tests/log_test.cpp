// The diagnostics log: the console line, the monthly file entry, the UTC
// stamp handed to hosts, and what a broken log directory costs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "scripted_reader.h"

namespace rfid::testing {
namespace {

const std::string kStamp = R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] - )";

// Each message reaches the console as formatted (cut to 4095 bytes) and the
// file as the console line plus a newline, with or without its own newline,
// control characters and shell syntax untouched; the file is named after
// the year and month of the stamp, created read-write for all less the
// umask, and closed again. The return value is the uncut length; a null
// format logs nothing and returns -1.
TEST(LogTest, ConsoleLineAndFileEntryShareOneStampedLineUpTo4095Bytes) {
  const std::string special = "\"$(touch x)\" `touch x` $HOME \\ \x01\t\x1b[0m\r\n";
  const std::tuple<std::string, mode_t, mode_t> cases[] = {{"reader 2 on ttyS1\n", 022, 0644},
                                                           {std::string(5000, 'x'), 077, 0600},
                                                           {"no newline", 0, 0666},
                                                           {special, 022, 0644}};
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  for (const auto& [text, mask, mode] : cases) {
    LogCapture log;
    const auto descriptors = openDescriptors();
    const mode_t saved = umask(mask);
    EXPECT_EQ(StoreLogMessage("%s", text.c_str()), static_cast<int>(text.size()));
    umask(saved);
    EXPECT_EQ(openDescriptors(), descriptors);
    const std::string console = log.console();
    EXPECT_TRUE(std::regex_search(console, std::regex("^" + kStamp))) << console;
    EXPECT_EQ(console.substr(24), text.substr(0, 4095));
    EXPECT_EQ(log.file(), console + "\n");
    EXPECT_EQ(log.filePath(), log.directory() + "/[" + console.substr(1, 7) + "]SystemLog");
    struct stat info {};
    ASSERT_EQ(stat(log.filePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, mode) << "umask " << mask;
  }
  LogCapture log;
  EXPECT_EQ(StoreLogMessage(nullptr), -1);
  EXPECT_EQ(log.console() + log.file(), "");
}

// What the log does without its file: the entry is lost (or cut on a full
// medium), the console line and the return value stay, nothing is retried,
// and once the fault is gone the next entry reaches the file whole.
TEST(LogTest, BrokenLogLosesTheEntryButNotTheConsoleLineAndRecovers) {
  for (const bool full : {false, true}) {
    LogCapture log;
    const std::string directory = log.directory() + "/log", file = monthlyLogFile(directory);
    const ScopedLogDirectory seam(directory.c_str());
    // A missing directory, or a full medium.
    if (full) {
      ASSERT_EQ(mkdir(directory.c_str(), 0700) + symlink("/dev/full", file.c_str()), 0);
    }
    EXPECT_EQ(StoreLogMessage("lost\n"), 5);
    unlink(file.c_str());
    mkdir(directory.c_str(), 0700);
    StoreLogMessage("kept\n");
    EXPECT_TRUE(std::regex_match(log.console(), std::regex(kStamp + "lost\n" + kStamp + "kept\n")));
    std::ifstream in(file);
    const std::string entries{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(std::regex_match(entries, std::regex(kStamp + "kept\n\n"))) << entries;
    unlink(file.c_str());
    rmdir(directory.c_str());
  }
}

// Local time minus UTC, in minutes, of the entry that the log writes now
// (rounding absorbs a second boundary), and the UTC stamp has dashes.
std::time_t loggedZoneOffset(LogCapture& log) {
  char* const utc = getTimeString();
  StoreLogMessage("zone\n");
  const std::string console = log.console();
  const std::string stamps[] = {console.substr(console.rfind('\n', console.size() - 2) + 1), utc};
  EXPECT_TRUE(std::regex_match(utc, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])"))) << utc;
  std::free(utc);
  std::time_t seconds[2] = {};
  for (int i = 0; i < 2; ++i) {
    std::tm fields{};
    std::sscanf(stamps[i].c_str(), "[%d%*c%d%*c%d %d:%d:%d]", &fields.tm_year, &fields.tm_mon,
                &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec);
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    seconds[i] = timegm(&fields);
  }
  return (seconds[0] - seconds[1]) / 60;
}

// The zone that entries carry follows TZ as it is set and unset, without the
// host calling tzset(); getTimeString stays in UTC.
TEST(LogTest, StampFollowsTimeZoneWhenTzIsSetAndUnset) {
  const ScopedTimeZone unset(nullptr);
  LogCapture log;
  const std::time_t systemOffset = loggedZoneOffset(log);
  const bool systemIsNine = systemOffset == 9 * 60;
  ScopedTimeZone::set(systemIsNine ? "XST-4" : "JST-9");
  EXPECT_EQ(loggedZoneOffset(log), systemIsNine ? 4 * 60 : 9 * 60);
  ScopedTimeZone::set(nullptr);
  EXPECT_EQ(loggedZoneOffset(log), systemOffset);
  ScopedTimeZone::set("XST-3");
  EXPECT_EQ(loggedZoneOffset(log), 3 * 60);
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

// A host moves the log while another thread logs: each entry lands whole
// in one of the directories. A null or too long directory (one whose file
// name would not fit behind it) is refused and changes nothing.
TEST(LogTest, HostMovesTheLogWhileAnotherThreadLogs) {
  LogCapture log;
  const std::string first = log.directory();
  std::string longest = first + "/";  // and a directory as long as they may be
  longest.resize(kMaxLogDirectoryLength, 'x');
  ASSERT_EQ(mkdir(longest.c_str(), 0700) + rfidSetLogDirectory(first.c_str()), 0);
  constexpr int kEntries = 200;
  std::thread writer([] {
    for (int i = 0; i < kEntries; ++i) StoreLogMessage("entry %d\n", i);
  });
  for (int i = 0; i < kEntries; ++i)
    EXPECT_EQ(rfidSetLogDirectory(i % 2 ? first.c_str() : longest.c_str()), 0);
  writer.join();
  EXPECT_EQ(rfidSetLogDirectory(nullptr) + rfidSetLogDirectory((longest + "y").c_str()), -2);
  StoreLogMessage("last\n");
  std::string entries;
  for (const std::string& directory : {first, longest}) {
    std::ifstream in(monthlyLogFile(directory));
    const std::string file{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(file.find("last") != std::string::npos, directory == first) << "the last good one";
    entries += file;
    std::remove(monthlyLogFile(directory).c_str());
    rmdir(directory.c_str());
  }
  EXPECT_EQ(std::count(entries.begin(), entries.end(), '\n'), 2 * (kEntries + 1));
  EXPECT_EQ(std::regex_replace(entries, std::regex(kStamp + "(entry \\d+|last)\n\n"), ""), "");
}

}  // namespace
}  // namespace rfid::testing
