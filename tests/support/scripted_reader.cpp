#include "scripted_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "rfid_internal.h"

namespace rfid::testing {
namespace {

ScriptedReader* activeReader = nullptr;

constexpr int kRequestTimeoutMs = 1000;
// A request is written with one write(); once its first bytes are here the
// rest follows within a tick of the pty's buffer work.
constexpr int kRequestTailMs = 2;

void makeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  cfmakeraw(&settings);
  settings.c_cc[VMIN] = 0;  // a read returns at once when nothing has arrived
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
}

void writeAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) throw std::runtime_error("write to the pty master failed");
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

ScriptedReader::ScriptedReader() {
  masterFd_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (masterFd_ < 0 || grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0) {
    throw std::runtime_error("cannot open a pseudo-terminal");
  }
  serialFd_ = open(ptsname(masterFd_), O_RDWR | O_NOCTTY);
  if (serialFd_ < 0) throw std::runtime_error("cannot open the pty's serial side");
  makeRaw(serialFd_);
  makeRaw(masterFd_);
  activeReader = this;
  rfid::exchangeWait = &ScriptedReader::waitHook;
}

ScriptedReader::~ScriptedReader() {
  rfid::exchangeWait = rfid::sleepExchangeWait;
  activeReader = nullptr;
  close(serialFd_);
  close(masterFd_);
}

void ScriptedReader::answer(Bytes reply) {
  script_.push_back(std::move(reply));
}

void ScriptedReader::stayQuiet() {
  script_.emplace_back();  // an empty reply is never written
}

void ScriptedReader::sendStale(const Bytes& bytes) {
  writeAll(masterFd_, bytes);
  waitUntilReadable(bytes.size());
}

Bytes ScriptedReader::lastRequest() const {
  return requests_.empty() ? Bytes{} : requests_.back();
}

bool ScriptedReader::serveOnce() {
  pollfd pending{masterFd_, POLLIN, 0};
  if (poll(&pending, 1, kRequestTimeoutMs) <= 0) return false;
  Bytes request;
  unsigned char chunk[512];
  do {
    const ssize_t n = read(masterFd_, chunk, sizeof chunk);
    if (n <= 0) break;
    request.insert(request.end(), chunk, chunk + n);
  } while (poll(&pending, 1, kRequestTailMs) > 0);
  requests_.push_back(request);

  if (script_.empty()) return true;
  const Bytes reply = std::move(script_.front());
  script_.pop_front();
  if (!reply.empty()) {
    writeAll(masterFd_, reply);
    // The module reads at most 256 bytes; anything beyond stays unread.
    waitUntilReadable(std::min<std::size_t>(reply.size(), rfid::kReceiveSize));
  }
  return true;
}

void ScriptedReader::useRealWait() {
  rfid::exchangeWait = rfid::sleepExchangeWait;
}

void ScriptedReader::waitHook() {
  if (activeReader != nullptr) activeReader->serveOnce();
}

void ScriptedReader::waitUntilReadable(std::size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  int available = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ioctl(serialFd_, FIONREAD, &available) == 0 &&
        static_cast<std::size_t>(available) >= count) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

namespace {
std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}
}  // namespace

LogCapture::LogCapture() : savedDirectory_(rfid::logDirectory) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/rfid-log-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a log directory");
  directory_ = pattern;
  rfid::logDirectory = directory_.c_str();

  capturePath_ = directory_ + "/console";
  const int capture = open(capturePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (capture < 0) throw std::runtime_error("cannot capture standard output");
  std::fflush(stdout);
  savedStdout_ = dup(STDOUT_FILENO);
  dup2(capture, STDOUT_FILENO);
  close(capture);
}

LogCapture::~LogCapture() {
  std::fflush(stdout);
  dup2(savedStdout_, STDOUT_FILENO);
  close(savedStdout_);
  // Google Test reports a failed expectation on standard output, so the
  // report went into the capture; replay it, or the failure shows no reason.
  if (::testing::Test::HasFailure()) {
    const std::string captured = readWhole(capturePath_);
    std::fwrite(captured.data(), 1, captured.size(), stdout);
    std::fflush(stdout);
  }
  rfid::logDirectory = savedDirectory_;
  std::remove(capturePath_.c_str());
  std::remove(filePath().c_str());
  rmdir(directory_.c_str());
}

std::string LogCapture::console() {
  std::fflush(stdout);
  return readWhole(capturePath_);
}

std::string LogCapture::file() const {
  return readWhole(filePath());
}

std::string monthlyLogFile(const std::string& directory) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[48];
  std::snprintf(name, sizeof name, "/[%04d.%02d]SystemLog", local.tm_year + 1900, local.tm_mon + 1);
  return directory + name;
}

std::string LogCapture::filePath() const {
  return monthlyLogFile(directory_);
}

std::vector<std::string> LogCapture::messages() {
  static const std::regex stamp(R"(^\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] - )");
  static const std::regex sourceLine(R"(^(\[[^:\]]+:)\d+\])");
  std::vector<std::string> result;
  const std::string text = console();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    line = std::regex_replace(line, stamp, "", std::regex_constants::format_first_only);
    line = std::regex_replace(line, sourceLine, "$1N]", std::regex_constants::format_first_only);
    result.push_back(line);
    start = end;
  }
  return result;
}

}  // namespace rfid::testing
