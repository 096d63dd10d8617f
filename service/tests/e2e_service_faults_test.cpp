// rfid-tokend end to end when the log medium hangs, files go bad and readers
// misbehave: taps keep flowing, nothing hangs, nothing false is published.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "harness.h"
#include "hostile_line.h"
#include "rfid_host/log_file.h"
#include "rfid_sim/simulator.h"
#include "test_cards.h"

namespace rfid_tokend_test {
namespace {

bool exitedCleanly(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The worker ids that a service's console lines name as started.
std::vector<pid_t> startedWorkers(const std::string& console) {
  std::vector<pid_t> pids;
  const std::string marker = ": worker ";
  for (std::size_t at = 0; (at = console.find(marker, at)) != std::string::npos;) {
    at += marker.size();
    std::size_t digits = 0;
    const pid_t pid = std::stoi(console.substr(at), &digits);
    if (console.compare(at + digits, 8, " started") == 0) pids.push_back(pid);
  }
  return pids;
}

// Gone, or a zombie no longer holding anything.
bool processGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && text.compare(close + 2, 1, "Z") == 0;
}

class ServiceFaults : public ::testing::Test {
 protected:
  ServiceFaults() { ::mkdir(logDir_.c_str(), 0700); }
  std::vector<std::string> args(std::vector<std::string> more) const {
    std::vector<std::string> all = {"--jsonl", "--log-dir", logDir_};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  TempDir dir_;
  std::string logDir_ = dir_.file("log");
};

TEST_F(ServiceFaults, AHungLogMediumStopsNeitherTapsNorSigtermAndLeavesNoWorker) {
  // The monthly log file is a FIFO that nobody reads: every open of it
  // blocks for ever.
  ASSERT_EQ(::mkfifo((logDir_ + "/" + rfid_host::monthlyLogFileName()).c_str(), 0600), 0);
  Simulator left(Model::kElatec, std::nullopt);
  Simulator right(Model::kVor, std::nullopt);
  Service service(args({"--reader", "elatec:" + left.portPath(), "--reader",
                        "vor:" + right.portPath(), "--debounce-polls", "2"}));
  ASSERT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(5000), 2));
  for (int tap = 0; tap < 3; ++tap) {
    const auto serial = static_cast<std::uint8_t>(0x10 + tap);
    left.insertCard(Card::classic({0x0A, 0x0B, 0x0C, serial}));
    right.insertCard(Card::classic({0x1A, 0x1B, 0x1C, serial}));
    EXPECT_TRUE(service.waitForLine(R"("event":"token")", milliseconds(4000), 2 * (tap + 1)));
    left.removeCard();
    right.removeCard();
    EXPECT_TRUE(service.waitForLine(R"("event":"removed")", milliseconds(4000), 2 * (tap + 1)));
  }
  EXPECT_TRUE(service.waitForLine(R"("event":"log","reason":"blocked","state":"losing")",
                                  milliseconds(3000)));
  EXPECT_EQ(service.countLines(R"("event":"log")"), 1);
  const std::vector<pid_t> workers = startedWorkers(readFile(service.errorFile()));
  ASSERT_EQ(workers.size(), 2u);

  const auto signalled = Clock::now();
  EXPECT_TRUE(exitedCleanly(service.stop(SIGTERM, milliseconds(1500))));
  const double seconds = std::chrono::duration<double>(Clock::now() - signalled).count();
  RecordProperty("sigterm_to_exit_ms", std::to_string(static_cast<int>(seconds * 1000)));
  for (const pid_t worker : workers) {
    EXPECT_TRUE(eventually([&] { return processGone(worker); }, milliseconds(500))) << worker;
  }

  // Killed outright, the main process takes its workers with it.
  Service again(args({"--reader", "elatec:" + left.portPath()}));
  ASSERT_TRUE(again.waitForLine(R"("event":"up")", milliseconds(5000)));
  const std::vector<pid_t> orphans = startedWorkers(readFile(again.errorFile()));
  ASSERT_EQ(orphans.size(), 1u);
  again.stop(SIGKILL, milliseconds(1500));
  EXPECT_TRUE(eventually([&] { return processGone(orphans[0]); }, milliseconds(500)));
}

TEST_F(ServiceFaults, ALogDirectoryRemovedIsReportedOnceAndTheLossCountedWhenItIsBack) {
  Simulator reader(Model::kElatec, std::nullopt);
  Service service(args({"--reader", "elatec:" + reader.portPath(), "--debounce-polls", "2"}));
  ASSERT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(5000)));
  std::filesystem::remove_all(logDir_);
  for (int tap = 1; tap <= 2; ++tap) {
    reader.insertCard(Card::classic({0x0A, 0x0B, 0x0C, static_cast<std::uint8_t>(tap)}));
    EXPECT_TRUE(service.waitForLine(R"("event":"token")", milliseconds(4000), tap));
    reader.removeCard();
    EXPECT_TRUE(service.waitForLine(R"("event":"removed")", milliseconds(4000), tap));
  }
  EXPECT_TRUE(service.waitForLine(R"("event":"log","reason":"removed","state":"losing")",
                                  milliseconds(2000)));
  ::mkdir(logDir_.c_str(), 0700);
  reader.insertCard(Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_TRUE(service.waitForLine(R"("event":"log","lost":)", milliseconds(4000)));
  EXPECT_TRUE(eventually([&] { return countInLog(logDir_, " log entries were lost.") >= 1; },
                         milliseconds(2000)));
  EXPECT_EQ(service.countLines(R"("event":"log")"), 2);
  const std::string console = readFile(service.errorFile());
  EXPECT_NE(console.find("the log medium takes no entries (removed)"), std::string::npos);
  EXPECT_NE(console.find("the log medium takes entries again; "), std::string::npos);
}

TEST_F(ServiceFaults, OversizedOrDeeplyNestedSettingsAreRefusedNamingTheKey) {
  const std::string reader = "[[reader]]\nmodel = \"vor\"\npath = \"/dev/ttyRFID0\"\n";
  const std::string mqtt = "[mqtt]\nhost = \"127.0.0.1\"\nmodule_id = \"m\"\n";
  std::string dotted;
  for (int i = 0; i < 35000; ++i) dotted += "a.";
  const std::string password = dir_.write("password", std::string(4096, 'p') + "\n");
  struct Case {
    std::string toml;
    std::vector<std::string> flags;
    std::string fault;
  };
  const std::vector<Case> cases = {
      {dotted + "a = 1\n", {}, ":1: nested deeper than 32 levels"},
      {"[" + dotted + "a]\n", {}, ":1: nested deeper than 32 levels"},
      {"x = " + std::string(40, '[') + std::string(40, ']') + "\n", {}, "nested deeper than 32"},
      {reader + "# " + std::string(2 << 20, 'c') + "\n", {}, ": larger than 1024 KiB"},
      {"[[reader]]\nmodel = \"vor\"\npath = \"/dev/" + std::string(128 << 10, 'p') + "\"\n",
       {},
       "reader[1].path: longer than 4095 characters"},
      {reader + "name = \"" + std::string(128 << 10, 'n') + "\"\n",
       {},
       "reader[1].name: longer than 128 characters"},
      {reader + "[mqtt]\nhost = \"127.0.0.1\"\nmodule_id = \"" + std::string(70000, 'm') + "\"\n",
       {},
       "--module-id: longer than 65471 characters"},
      {reader + mqtt + "username = \"" + std::string(1000000, 'u') + "\"\n",
       {},
       "--mqtt-username: longer than 256 characters"},
      {reader + mqtt + "username = \"u\"\npassword_file = \"" + password + "\"\n",
       {},
       "the first line is longer than 1024 characters"},
      {reader, {"--mqtt", std::string(300, 'h'), "--module-id", "m"}, "--mqtt: longer than 253"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string file = dir_.write("c" + std::to_string(i) + ".toml", cases[i].toml);
    std::vector<std::string> flags = {"--config", file};
    flags.insert(flags.end(), cases[i].flags.begin(), cases[i].flags.end());
    const Outcome outcome = runService(flags);
    expectRefusedToStart(outcome, cases[i].fault);
    EXPECT_LT(outcome.errors.size(), 1000u);
  }
}

// True once the process has blocked `signal`: main() has begun.
bool blocks(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signal - 1) & 1) != 0;
  }
  return false;
}

TEST_F(ServiceFaults, SignalsInTheFirstMillisecondsOfMainBehaveAsLater) {
  // Under an emulator /proc shows the emulator's signal mask, not the
  // program's: the test cannot see when main() has blocked its signals.
  if (std::string(RFID_TOKEND_COMMAND).find('|') != std::string::npos) {
    GTEST_SKIP() << "the program's signal mask is not visible under an emulator";
  }
  Simulator reader(Model::kElatec, std::nullopt);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    for (int run = 0; run < 8; ++run) {
      const pid_t pid =
          startService(args({"--reader", "elatec:" + reader.portPath()}), devNull, devNull);
      // As soon as main() has blocked its first signal.
      while (!blocks(pid, SIGHUP) && !processGone(pid)) std::this_thread::yield();
      ::kill(pid, signal);
      if (signal == SIGTERM || signal == SIGINT) {
        EXPECT_TRUE(exitedCleanly(stopService(pid, 0, milliseconds(3000)))) << strsignal(signal);
        continue;
      }
      std::this_thread::sleep_for(milliseconds(300));
      int status = 0;
      EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << strsignal(signal) << " ended it";
      EXPECT_TRUE(exitedCleanly(stopService(pid, SIGTERM, milliseconds(3000))));
    }
  }
  ::close(devNull);
}

TEST_F(ServiceFaults, EveryWorkerThatCannotStartIsOneErrorLineAndADownEvent) {
  // Ports that do not exist: a worker that starts reports its port down.
  constexpr int kReaders = 24;
  std::vector<std::string> flags;
  for (int i = 0; i < kReaders; ++i) {
    flags.insert(flags.end(), {"--reader", "elatec:" + dir_.file("tty" + std::to_string(i))});
  }
  // Room for the service and a few workers' pipes, not for all of them.
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 40;
  ::setrlimit(RLIMIT_NOFILE, &low);
  Service service(args(flags));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  const std::string cannot =
      R"x("reason":"its worker cannot be started (pipe: Too many open files)")x";
  EXPECT_TRUE(eventually([&] { return service.countLines(R"("event":"down")") == kReaders; },
                         milliseconds(8000)));
  const int failed = service.countLines(cannot);
  EXPECT_GT(failed, 0);
  EXPECT_LT(failed, kReaders);
  const std::string console = readFile(service.errorFile());
  int errorLines = 0;
  for (std::size_t at = 0; (at = console.find("worker cannot be started", at)) != std::string::npos;
       ++at) {
    ++errorLines;
  }
  EXPECT_GE(errorLines, failed);
  RecordProperty("workers_refused", std::to_string(failed));
}

TEST_F(ServiceFaults, AReaderThatNeverAnswersIsDownWithNoReplyAndUpWhenItAnswers) {
  Simulator reader(Model::kElatec, std::nullopt);
  HostileLine line(reader);
  Service service(args({"--reader", "elatec:" + line.portPath(), "--debounce-polls", "2"}));
  ASSERT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(5000)));
  line.setMode(HostileLine::Mode::kSilent);
  EXPECT_TRUE(service.waitForLine(
      R"("event":"down","reader":")" + line.portPath() + R"(","reason":"no reply")",
      milliseconds(5000)));
  std::this_thread::sleep_for(milliseconds(4000));
  EXPECT_EQ(service.countLines(R"("event":"down")"), 1);
  EXPECT_EQ(countInLog(logDir_, "down: no reply"), 1);
  line.setMode(HostileLine::Mode::kRelay);
  EXPECT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(4000), 2));
  reader.insertCard(Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_TRUE(service.waitForLine(R"("value":"0A0B0C0D")", milliseconds(3000)));
}

TEST_F(ServiceFaults, APortThatFailsIsDownOnceAndPolledSlowlyUntilItWorks) {
  Simulator reader(Model::kVor, std::nullopt);
  const std::string failSwitch = dir_.write("fail", "");
  // The shim is not the first library of the process, as the sanitizer wants.
  const ScopedSanitizerOption preloadFirst("verify_asan_link_order=0");
  ::setenv("LD_PRELOAD", FAILING_PORT_SHIM, 1);
  ::setenv("RFID_TEST_FAIL_PORT", reader.portPath().c_str(), 1);
  ::setenv("RFID_TEST_FAIL_SWITCH", failSwitch.c_str(), 1);
  Service service(args({"--reader", "vor:" + reader.portPath()}));
  ::unsetenv("LD_PRELOAD");
  EXPECT_TRUE(service.waitForLine(R"x("reason":"the port fails (Input/output error)")x",
                                  milliseconds(5000)));
  const int before = countInLog(logDir_, "response fail.");
  std::this_thread::sleep_for(milliseconds(6000));
  const int during = countInLog(logDir_, "response fail.") - before;
  RecordProperty("error_lines_in_6_s", std::to_string(during));
  EXPECT_LE(during, 5);  // one failed poll every 2 s; 20 a second before
  EXPECT_EQ(service.countLines(R"("event":"down")"), 1);
  EXPECT_EQ(countInLog(logDir_, "down: the port fails"), 1);
  ::unlink(failSwitch.c_str());
  EXPECT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(4000), 2));
  reader.insertCard(Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_TRUE(service.waitForLine(R"("value":"0A0B0C0D")", milliseconds(3000)));
}

// Taps through a line that doubles or splices every reply: each published
// value is the card's own, once per tap.
struct TapRun {
  int taps = 0;
  int right = 0;
  int wrong = 0;
  std::vector<std::string> wrongLines;  // shown when the check fails
  std::vector<double> latencies;
};

TapRun tapThrough(Model model, HostileLine::Mode mode, const std::string& logDir, int taps) {
  Simulator reader(model, std::nullopt);
  reader.setTiming(rfid_sim::Timing::typical(model));
  HostileLine line(reader);
  line.setMode(mode);
  Service service({"--jsonl", "--log-dir", logDir, "--reader",
                   std::string(model == Model::kVor ? "vor:" : "elatec:") + line.portPath()});
  TapRun run;
  if (!service.waitForLine(R"("event":"up")", milliseconds(5000))) return run;
  std::mt19937 random(7);
  std::vector<std::string> values;
  for (int tap = 0; tap < taps; ++tap) {
    std::array<std::uint8_t, 4> serial{};
    for (auto& byte : serial) byte = static_cast<std::uint8_t>(random());
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", serial[0], serial[1], serial[2], serial[3]);
    values.emplace_back(hex);
    const auto tapped = Clock::now();
    reader.insertCard(Card::classic(serial));
    if (service.waitForLine("\"value\":\"" + values.back() + "\"", milliseconds(3000))) {
      run.latencies.push_back(std::chrono::duration<double>(Clock::now() - tapped).count());
    }
    ++run.taps;
    std::this_thread::sleep_for(milliseconds(300));  // resting: no second token
    reader.removeCard();
    service.waitForLine(R"("event":"removed")", milliseconds(5000), tap + 1);
  }
  std::this_thread::sleep_for(milliseconds(500));
  for (const std::string& text : service.lines()) {
    if (text.find(R"("event":"token")") == std::string::npos) continue;
    const bool known = std::any_of(values.begin(), values.end(), [&](const std::string& value) {
      return text.find("\"value\":\"" + value + "\"") != std::string::npos;
    });
    if (known) {
      ++run.right;
    } else {
      ++run.wrong;
      run.wrongLines.push_back(text);
    }
  }
  return run;
}

TEST_F(ServiceFaults, RepliesSentTwiceOrWithBytesOfAnEarlierOneNeverGiveAWrongToken) {
  const char* wanted = std::getenv("RFID_TEST_TAPS");
  const int taps = wanted != nullptr ? std::atoi(wanted) : 6;
  for (const Model model : {Model::kVor, Model::kElatec}) {
    for (const auto mode :
         {HostileLine::Mode::kRelay, HostileLine::Mode::kTwice, HostileLine::Mode::kSpliced}) {
      // A measured run (RFID_TEST_TAPS) spends its time on the faults.
      const bool baseline = mode == HostileLine::Mode::kRelay;
      const TapRun run = tapThrough(model, mode, logDir_, baseline ? std::min(taps, 30) : taps);
      std::vector<double> sorted = run.latencies;
      std::sort(sorted.begin(), sorted.end());
      const double p99 =
          sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
      const std::string name = std::string(model == Model::kVor ? "vor" : "elatec") +
                               (mode == HostileLine::Mode::kRelay   ? "_relayed"
                                : mode == HostileLine::Mode::kTwice ? "_twice"
                                                                    : "_spliced");
      RecordProperty(name, std::to_string(run.taps) + " taps, " + std::to_string(run.right) +
                               " right, " + std::to_string(run.wrong) + " wrong, " +
                               std::to_string(sorted.size()) + " in time, p99 " +
                               std::to_string(p99) + " s");
      std::printf("%s: %d taps, %d tokens right, %d wrong, %zu published, p99 %.3f s\n",
                  name.c_str(), run.taps, run.right, run.wrong, sorted.size(), p99);
      EXPECT_EQ(run.wrong, 0) << name << (run.wrongLines.empty() ? "" : ": " + run.wrongLines[0]);
      EXPECT_EQ(run.right, run.taps) << name << ": a tap counted twice or not at all";
      EXPECT_EQ(sorted.size(), static_cast<std::size_t>(run.taps)) << name;
    }
  }
}

}  // namespace
}  // namespace rfid_tokend_test
