#include "scripted_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
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
#include <utility>

#include "rfid_host/log_file.h"
#include "rfid_serial/serial_port.h"

namespace rfid::testing {
namespace {

ScriptedReader* activeReader = nullptr;

constexpr int kRequestTimeoutMs = 1000;
// A request is written with one write(); once its first bytes are here the
// rest follows within a tick of the pty's buffer work.
constexpr int kRequestTailMs = 2;

// The master side takes a whole reply in one write.
void writeAll(int fd, const Bytes& bytes) {
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("write to the pty master failed");
  }
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace

ScriptedReader::ScriptedReader()
    : master_(posix_openpt(O_RDWR | O_NOCTTY)), wait_([] {
        if (activeReader != nullptr) activeReader->serveOnce();
      }) {
  if (!master_.valid() || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
    throw std::runtime_error("cannot open a pseudo-terminal");
  }
  serial_.reset(open(ptsname(master_.get()), O_RDWR | O_NOCTTY));
  if (!rfid_serial::configureRawPort(serial_.get(), rfid_serial::kDefaultBaud) ||
      !rfid_serial::configureRawPort(master_.get(), rfid_serial::kDefaultBaud)) {
    throw std::runtime_error("cannot set up the pty");
  }
  outer_ = std::exchange(activeReader, this);
}

ScriptedReader::~ScriptedReader() {
  activeReader = outer_;
}

void ScriptedReader::sendStale(const Bytes& bytes) {
  writeAll(master_.get(), bytes);
  waitUntilReadable(bytes.size());
}

bool ScriptedReader::serveOnce() {
  pollfd pending{master_.get(), POLLIN, 0};
  if (poll(&pending, 1, kRequestTimeoutMs) <= 0) return false;
  Bytes request;
  unsigned char chunk[512];
  do {
    const ssize_t n = read(master_.get(), chunk, sizeof chunk);
    if (n <= 0) break;
    request.insert(request.end(), chunk, chunk + n);
  } while (poll(&pending, 1, kRequestTailMs) > 0);
  requests_.push_back(request);

  if (script_.empty()) return true;
  const Bytes reply = std::move(script_.front());
  script_.pop_front();
  writeAll(master_.get(), reply);
  // The module reads at most 256 bytes; anything beyond stays unread.
  waitUntilReadable(std::min<std::size_t>(reply.size(), kReceiveSize));
  return true;
}

void ScriptedReader::waitUntilReadable(std::size_t count) const {
  int available = 0;
  for (int tries = 0; tries < 5000; ++tries) {  // a second at most
    if (ioctl(serial_.get(), FIONREAD, &available) == 0 && available >= static_cast<int>(count))
      return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::string monthlyLogFile(const std::string& directory) {
  return directory + "/" + rfid_host::monthlyLogFileName();
}

namespace {
std::string makeLogDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/rfid-log-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a log directory");
  return pattern;
}
}  // namespace

LogCapture::LogCapture() : directory_(makeLogDirectory()), logDirectory_(directory_.c_str()) {
  const int capture =
      open((directory_ + "/console").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (capture < 0) throw std::runtime_error("cannot capture standard output");
  std::fflush(stdout);
  savedStdout_ = dup(STDOUT_FILENO);
  dup2(capture, STDOUT_FILENO);
  close(capture);
}

LogCapture::~LogCapture() {
  const std::string captured = console();
  dup2(savedStdout_, STDOUT_FILENO);
  close(savedStdout_);
  // Google Test reports a failed expectation on standard output, so the
  // report went into the capture; replay it, or the failure shows no reason.
  if (::testing::Test::HasFailure()) std::fwrite(captured.data(), 1, captured.size(), stdout);
  std::remove((directory_ + "/console").c_str());
  std::remove(filePath().c_str());
  rmdir(directory_.c_str());
}

std::string LogCapture::console() {
  std::fflush(stdout);
  return readWhole(directory_ + "/console");
}

std::string LogCapture::file() const {
  return readWhole(filePath());
}

std::string LogCapture::messages() {
  static const std::regex prefix(
      R"(^\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] - (\[[^\]]*:\d+\]\[\w+\]\[(\w+)\] )?)");
  std::string result;
  std::istringstream text(console());
  for (std::string line; std::getline(text, line);) {
    std::smatch match;
    if (std::regex_search(line, match, prefix)) {
      line = (match[2].matched ? match[2].str() + " " : "") + match.suffix().str();
    }
    result += (result.empty() ? "" : "\n") + line;
  }
  return result;
}

}  // namespace rfid::testing
