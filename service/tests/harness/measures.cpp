#include "measures.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "harness.h"

namespace rfid_tokend_test {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A "Name:   value kB" field of /proc/PID/status or smaps_rollup, -1 when
// the file or the field is absent (the process is gone).
long long fieldKiB(const std::string& path, const std::string& name) {
  const std::string text = "\n" + readAll(path);
  const std::size_t at = text.find("\n" + name + ":");
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 2);
}

std::string procFile(pid_t pid, const char* name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

// The fields of /proc/PID/stat after the command name, which may itself
// hold spaces and parentheses: [0] is the state, [1] the parent, [11] and
// [12] utime and stime.
std::vector<std::string> statFields(pid_t pid) {
  const std::string stat = readAll(procFile(pid, "stat"));
  const std::size_t end = stat.rfind(')');
  std::vector<std::string> fields;
  if (end == std::string::npos) return fields;
  std::istringstream words(stat.substr(end + 1));
  for (std::string word; words >> word;) fields.push_back(word);
  return fields;
}

}  // namespace

long peakResidentKiB(pid_t pid) {
  return static_cast<long>(fieldKiB(procFile(pid, "status"), "VmHWM"));
}

long residentKiB(pid_t pid) {
  return static_cast<long>(fieldKiB(procFile(pid, "status"), "VmRSS"));
}

std::vector<ProcessSample> sampleService(pid_t service) {
  std::vector<pid_t> pids = {service};
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* entry = ::readdir(proc)) {
      const pid_t pid = std::atoi(entry->d_name);
      const auto fields = pid > 0 ? statFields(pid) : std::vector<std::string>();
      if (fields.size() > 1 && std::atoi(fields[1].c_str()) == service) pids.push_back(pid);
    }
    ::closedir(proc);
  }
  std::vector<ProcessSample> samples;
  for (const pid_t pid : pids) {
    const auto fields = statFields(pid);
    if (fields.size() < 13) continue;
    ProcessSample sample;
    sample.pid = pid;
    sample.cpuTicks = std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str());
    const std::string base = "/proc/" + std::to_string(pid);
    // utime and stime count clock ticks (10 ms); the scheduler's own count
    // of each thread's time on a CPU is in nanoseconds.
    if (DIR* tasks = ::opendir((base + "/task").c_str())) {
      while (const dirent* task = ::readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        sample.runNs += std::atoll(readAll(base + "/task/" + task->d_name + "/schedstat").c_str());
      }
      ::closedir(tasks);
    }
    sample.rssKiB = std::max(0LL, fieldKiB(base + "/status", "VmRSS"));
    sample.pssKiB = std::max(0LL, fieldKiB(base + "/smaps_rollup", "Pss"));
    sample.role = "rfid-tokend";
    if (pid != service) {
      // The worker's settings, its one argument after the flag, name its reader.
      std::string cmdline = readAll(base + "/cmdline");
      std::replace(cmdline.begin(), cmdline.end(), '\0', '\n');
      const auto settings =
          nlohmann::json::parse(cmdline.substr(cmdline.find("\n{") + 1), nullptr, false);
      sample.role = "worker, " + (settings.is_discarded() || !settings.is_object()
                                      ? std::string("?")
                                      : settings.value("name", std::string("?")));
    }
    samples.push_back(sample);
  }
  return samples;
}

// Every message ends in a newline and the log adds one more, so each entry
// is followed by an empty line; those are not counted.
int logEntries(const std::string& directory) {
  std::istringstream log(monthlyLog(directory));
  int entries = 0;
  for (std::string line; std::getline(log, line);) entries += line.empty() ? 0 : 1;
  return entries;
}

long countSystemCalls(pid_t pid, int seconds) {
  char report[] = "/tmp/rfid_strace_XXXXXX";
  const int reportFd = ::mkstemp(report);
  if (reportFd < 0) return -1;
  ::close(reportFd);
  const std::string target = std::to_string(pid);
  const pid_t tracer = ::fork();
  if (tracer == 0) {
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
    ::execlp("strace", "strace", "-c", "-f", "-q", "-o", report, "-p", target.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (tracer < 0) {
    ::unlink(report);
    return -1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  ::kill(tracer, SIGINT);  // strace detaches and writes its table
  ::waitpid(tracer, nullptr, 0);
  // The table's last line: "100.00 SECONDS USECS/CALL CALLS [ERRORS] total".
  long calls = -1;
  std::ifstream table(report);
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.size() >= 5 && words.back() == "total") calls = std::atol(words[3].c_str());
  }
  ::unlink(report);
  return calls;
}

double loadAverage() {
  return std::atof(readAll("/proc/loadavg").c_str());
}

// Between the ranks, as most statistics tools do: the p99 of 60 taps lies
// between the slowest and the one before.
double percentile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(rank);
  const std::size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (rank - static_cast<double>(below)) * (values[above] - values[below]);
}

}  // namespace rfid_tokend_test
