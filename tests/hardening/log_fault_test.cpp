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

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "child_process.h"
#include "rfid_internal.h"
#include "scripted_reader.h"

namespace rfid::hardening {
namespace {

namespace fs = std::filesystem;
using rfid::testing::ScriptedReader;

const std::string kLostMessage = "entry written while the log is broken\n";
const std::string kRepairedMessage = "entry written once the log is repaired\n";
constexpr int kOutOfSpaceBytes = 40;  // how much of an entry the size limit lets through

std::string monthlyFileName() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[48];
  std::snprintf(name, sizeof name, "[%04d.%02d]SystemLog", local.tm_year + 1900, local.tm_mon + 1);
  return name;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// One kind of fault: `breakLog` runs in the unprivileged child before the
// module logs, `repair` after; both get the log directory.
struct LogFault {
  const char* name;
  void (*breakLog)(const std::string& directory);
  void (*repair)(const std::string& directory);
};

void touch(const std::string& path, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd >= 0) close(fd);
  chmod(path.c_str(), mode);
}

const LogFault kFaults[] = {
    {"MissingDirectory", [](const std::string&) {},
     [](const std::string& dir) { mkdir(dir.c_str(), 0755); }},
    {"DirectoryIsAFile", [](const std::string& dir) { touch(dir, 0644); },
     [](const std::string& dir) {
       unlink(dir.c_str());
       mkdir(dir.c_str(), 0755);
     }},
    {"UnwritableDirectory", [](const std::string& dir) { mkdir(dir.c_str(), 0555); },
     [](const std::string& dir) { chmod(dir.c_str(), 0755); }},
    {"ReadOnlyFile",
     [](const std::string& dir) {
       mkdir(dir.c_str(), 0755);
       touch(dir + "/" + monthlyFileName(), 0444);
     },
     [](const std::string& dir) { chmod((dir + "/" + monthlyFileName()).c_str(), 0644); }},
    {"FileSizeLimit",
     [](const std::string& dir) {
       mkdir(dir.c_str(), 0755);
       // A host that ignores SIGXFSZ gets EFBIG instead of being killed.
       std::signal(SIGXFSZ, SIG_IGN);
       StoreLogMessage("entry written before the limit\n");
       struct stat file {};
       stat((dir + "/" + monthlyFileName()).c_str(), &file);
       rlimit limit{};
       getrlimit(RLIMIT_FSIZE, &limit);
       limit.rlim_cur = static_cast<rlim_t>(file.st_size) + kOutOfSpaceBytes;
       setrlimit(RLIMIT_FSIZE, &limit);
     },
     [](const std::string&) {
       rlimit limit{};
       getrlimit(RLIMIT_FSIZE, &limit);
       limit.rlim_cur = limit.rlim_max;
       setrlimit(RLIMIT_FSIZE, &limit);
     }},
};

// The child: logs and runs an operation while the log is broken, then
// repairs it and logs again. Its console goes to `consoleFd`.
int exerciseBrokenLog(const LogFault& fault, const std::string& directory, int consoleFd) {
  if (!dropPrivileges()) return 10;
  dup2(consoleFd, STDOUT_FILENO);
  rfid::logDirectory = directory.c_str();
  fault.breakLog(directory);

  if (StoreLogMessage("%s", kLostMessage.c_str()) != static_cast<int>(kLostMessage.size())) {
    return 11;
  }
  ScriptedReader reader;
  reader.answer({0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00});
  unsigned char serial[8] = {};
  if (!getRequestCardSN(reader.fd(), MODULE_VOR, serial)) return 12;
  const unsigned char expected[8] = {4, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0};
  if (std::memcmp(serial, expected, sizeof serial) != 0) return 13;

  fault.repair(directory);
  if (StoreLogMessage("%s", kRepairedMessage.c_str()) !=
      static_cast<int>(kRepairedMessage.size())) {
    return 14;
  }
  return 0;
}

class LogFaultTest : public ::testing::TestWithParam<LogFault> {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/rfid-log-fault-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    // The unprivileged child works inside this directory.
    if (geteuid() == 0) {
      ASSERT_EQ(chown(base_.c_str(), kNobody, kNobody), 0);
    }
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(base_ + "/SystemLog", fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(base_, ignored);
  }
  std::string base_;
};

TEST_P(LogFaultTest, ConsoleAndResultSurviveAndTheNextEntryIsWhole) {
  const LogFault& fault = GetParam();
  const std::string directory = base_ + "/SystemLog";
  int console[2];
  ASSERT_EQ(pipe(console), 0);
  const ChildEnd end = runInChild([&] { return exerciseBrokenLog(fault, directory, console[1]); });
  close(console[1]);
  std::string printed;
  char chunk[4096];
  for (ssize_t n; (n = read(console[0], chunk, sizeof chunk)) > 0;) printed.append(chunk, n);
  close(console[0]);

  ASSERT_TRUE(end.cleanExit()) << fault.name << ": " << end.describe();
  EXPECT_NE(printed.find(" - " + kLostMessage), std::string::npos) << printed;
  EXPECT_NE(printed.find("[Info] Card type : MIFARE classic.\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find(" - " + kRepairedMessage), std::string::npos) << printed;

  const std::string file = readWhole(directory + "/" + monthlyFileName());
  const std::string lastEntry = " - " + kRepairedMessage + "\n";
  ASSERT_GE(file.size(), lastEntry.size());
  EXPECT_EQ(file.substr(file.size() - lastEntry.size()), lastEntry) << file;
  EXPECT_EQ(file.find(kLostMessage), std::string::npos) << "the lost entry reached the file";
  if (std::string(fault.name) == "FileSizeLimit") {
    // The kernel lets the entry through up to the limit and refuses the
    // rest: the file holds a cut-off start of the lost entry, and the next
    // whole entry follows it on the same line.
    const std::size_t cut = file.find("entry written before the limit\n\n");
    ASSERT_NE(cut, std::string::npos);
    const std::size_t fragmentAt = cut + std::strlen("entry written before the limit\n\n");
    EXPECT_EQ(file.size() - lastEntry.size() - 21 - fragmentAt,
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
