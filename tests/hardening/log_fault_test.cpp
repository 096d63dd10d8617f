// Log faults: the log directory missing or a file, a directory or file the
// process may not write (run unprivileged), and the file-size limit hit
// with SIGXFSZ ignored, as a careful host does. Each time the console line
// is still printed, the operation's result is still right, nothing crashes,
// and once the fault is gone the next entry reaches the file whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"
#include "rfid_internal.h"
#include "scripted_reader.h"

namespace rfid::hardening {
namespace {

using rfid::testing::LogCapture;
using rfid::testing::ScriptedReader;

const std::string kLostMessage = "entry written while the log is broken\n";
const std::string kRepairedMessage = "entry written once the log is repaired\n";
constexpr int kOutOfSpaceBytes = 40;  // how much of an entry the size limit lets through

// One kind of fault: `breakLog` runs in the unprivileged child before the
// module logs, `repair` after; both get the log directory and file.
struct LogFault {
  const char* name;
  void (*breakLog)(const std::string& directory, const std::string& file);
  void (*repair)(const std::string& directory, const std::string& file);
};

void touch(const std::string& path, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd >= 0) close(fd);
  chmod(path.c_str(), mode);
}

void setFileSizeLimit(rlim_t bytes) {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = std::min(bytes, limit.rlim_max);
  setrlimit(RLIMIT_FSIZE, &limit);
}

using S = const std::string&;
const LogFault kFaults[] = {
    {"MissingDirectory", [](S dir, S) { rmdir(dir.c_str()); },
     [](S dir, S) { mkdir(dir.c_str(), 0755); }},
    {"DirectoryIsAFile",
     [](S dir, S) {
       rmdir(dir.c_str());
       touch(dir, 0644);
     },
     [](S dir, S) {
       unlink(dir.c_str());
       mkdir(dir.c_str(), 0755);
     }},
    {"UnwritableDirectory", [](S dir, S) { chmod(dir.c_str(), 0555); },
     [](S dir, S) { chmod(dir.c_str(), 0755); }},
    {"ReadOnlyFile", [](S, S file) { touch(file, 0444); },
     [](S, S file) { chmod(file.c_str(), 0644); }},
    {"FileSizeLimit",
     [](S, S file) {
       // A host that ignores SIGXFSZ gets EFBIG instead of being killed.
       std::signal(SIGXFSZ, SIG_IGN);
       StoreLogMessage("entry written before the limit\n");
       struct stat info {};
       stat(file.c_str(), &info);
       setFileSizeLimit(static_cast<rlim_t>(info.st_size) + kOutOfSpaceBytes);
     },
     [](S, S) { setFileSizeLimit(RLIM_INFINITY); }},
};

// The child: logs and runs an operation while the log is broken, then
// repairs it and logs again.
int exerciseBrokenLog(const LogFault& fault, const std::string& directory,
                      const std::string& file) {
  if (!dropPrivileges()) return 10;
  rfid::logDirectory = directory.c_str();
  fault.breakLog(directory, file);
  if (StoreLogMessage("%s", kLostMessage.c_str()) != static_cast<int>(kLostMessage.size())) {
    return 11;
  }
  ScriptedReader reader;
  reader.answer({0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00});
  unsigned char serial[8] = {};
  if (!getRequestCardSN(reader.fd(), MODULE_VOR, serial)) return 12;
  const unsigned char expected[8] = {4, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0};
  if (std::memcmp(serial, expected, sizeof serial) != 0) return 13;
  fault.repair(directory, file);
  return StoreLogMessage("%s", kRepairedMessage.c_str()) ==
                 static_cast<int>(kRepairedMessage.size())
             ? 0
             : 14;
}

class LogFaultTest : public ::testing::TestWithParam<LogFault> {};

TEST_P(LogFaultTest, ConsoleAndResultSurviveAndTheNextEntryIsWhole) {
  const LogFault& fault = GetParam();
  LogCapture log;  // the child prints into the same capture
  // The unprivileged child works inside its own log directory.
  const std::string directory = log.directory() + "/SystemLog";
  const std::string path = directory + log.filePath().substr(log.directory().size());
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  for (const std::string& dir : {log.directory(), directory}) {
    ASSERT_TRUE(geteuid() != 0 || chown(dir.c_str(), kNobody, kNobody) == 0);
  }
  const ChildEnd end = runInChild([&] { return exerciseBrokenLog(fault, directory, path); });
  const std::string printed = log.console();
  std::ifstream in(path, std::ios::binary);
  const std::string file{std::istreambuf_iterator<char>(in), {}};
  std::filesystem::remove_all(directory);
  ASSERT_TRUE(end.cleanExit()) << fault.name << ": " << end.describe();
  EXPECT_NE(printed.find(" - " + kLostMessage), std::string::npos) << printed;
  EXPECT_NE(printed.find("[Info] Card type : MIFARE classic.\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find(" - " + kRepairedMessage), std::string::npos) << printed;

  const std::string lastEntry = " - " + kRepairedMessage + "\n";
  ASSERT_GE(file.size(), lastEntry.size());
  EXPECT_EQ(file.substr(file.size() - lastEntry.size()), lastEntry) << file;
  EXPECT_EQ(file.find(kLostMessage), std::string::npos) << "the lost entry reached the file";
  if (std::string(fault.name) == "FileSizeLimit") {
    // The kernel lets the entry through up to the limit and refuses the
    // rest: the file holds a cut-off start of the lost entry, and the next
    // whole entry follows it on the same line.
    const std::string before = "entry written before the limit\n\n";
    const std::size_t cut = file.find(before);
    ASSERT_NE(cut, std::string::npos);
    EXPECT_EQ(file.size() - lastEntry.size() - 21 - (cut + before.size()),
              static_cast<std::size_t>(kOutOfSpaceBytes))
        << file;
  }
}

INSTANTIATE_TEST_SUITE_P(AllFaults, LogFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<LogFault>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace rfid::hardening
