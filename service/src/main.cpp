// rfid-tokend: the token provider service. See docs/service.md.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Module_RFID_ext.h"
#include "config.h"
#include "config_limits.h"
#include "key_material.h"
#include "rfid_cardauth/secret.h"
#include "rfid_serial/unique_fd.h"
#include "supervisor.h"
#include "tls_files.h"
#include "worker.h"

namespace {

using rfid_tokend::Config;

constexpr int kExitInvalid = 2;
// A password file holds one line; anything far larger is not one.
constexpr off_t kLongestPasswordFile = 64 * 1024;

// The password: the file's first line. Like the key file, the file must
// not be open to group or others. Opened without blocking (the open of a
// FIFO waits for a writer) and checked on the descriptor.
std::optional<std::string> readPassword(const std::string& path, std::string& password) {
  const std::string where = "--mqtt-password-file " + path + ": ";
  const rfid_serial::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) return where + "cannot be read (" + strerror(errno) + ")";
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return where + "not a regular file";
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return where + "group or others may read it; make it private (chmod 600)";
  }
  if (info.st_size > kLongestPasswordFile) return where + "too large to hold a password";
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t have = 0;
  while (have < text.size()) {
    const ssize_t count = ::read(file.get(), &text[have], text.size() - have);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return where + "cannot be read (" + strerror(errno) + ")";
    if (count == 0) break;
    have += static_cast<std::size_t>(count);
  }
  const std::size_t lineEnd = std::min(text.find('\n'), have);
  // A bounded line, as every other string setting.
  if (lineEnd > rfid_tokend::kMaxPasswordLength) {
    OPENSSL_cleanse(text.data(), text.size());
    return where + "the first line is longer than " +
           std::to_string(rfid_tokend::kMaxPasswordLength) + " characters";
  }
  password.assign(text, 0, lineEnd);
  OPENSSL_cleanse(text.data(), text.size());
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return std::nullopt;
}

// Everything the configuration names must be usable before any port is
// opened; the reason for a refusal never quotes a file's content.
std::optional<std::string> checkFiles(const Config& config, rfid_tokend::KeyMaterial& keys,
                                      std::string& password) {
  if (auto fault = rfid_tokend::readKeyMaterial(config, keys)) return fault;
  const auto& mqtt = config.mqtt;
  if (!mqtt.passwordFile.empty()) {
    if (auto fault = readPassword(mqtt.passwordFile, password)) return fault;
  }
  if (auto fault = rfid_tokend::checkTlsFiles(mqtt)) return fault;
  if (!config.logDir.empty()) {
    struct stat info {};
    if (::stat(config.logDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return "--log-dir " + config.logDir + ": not a directory";
    }
  }
  return std::nullopt;
}

// A descriptor 0, 1 or 2 that is closed would be handed to the next file
// opened, a reader's port say, and console lines would be written into it.
void openClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else, so that a signal in the first milliseconds does
  // what it does later: SIGTERM and SIGINT wait, blocked, until the
  // supervisor or the worker reads them and ends cleanly (exit 0); SIGHUP (a
  // reload) never ends the service; SIGPIPE never ends it either, a write to
  // a closed pipe fails with EPIPE instead. Workers inherit the mask.
  sigset_t early;
  sigemptyset(&early);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&early, signal);
  sigprocmask(SIG_BLOCK, &early, nullptr);
  // The main process and every worker hold keys.
  rfid_cardauth::keepKeysOutOfCoreDumps();
  openClosedStandardStreams();
  // Every process of the service: no tap, verdict or sound waits for the
  // log medium, and no reply that is not one whole frame yields a card.
  if (rfidSetLogQueue(1) == 0) std::atexit([] { (void)rfidSetLogQueue(0); });
  (void)rfidSetReplyCheck(1);
  if (argc == 3 && std::strcmp(argv[1], rfid_tokend::kWorkerFlag) == 0) {
    return rfid_tokend::runWorker(argv[2]);
  }
  auto parsed = rfid_tokend::parseCommandLine(argc, argv);
  using Outcome = rfid_tokend::ParseResult::Outcome;
  if (parsed.outcome == Outcome::kHelp) {
    std::fputs(parsed.text.c_str(), stdout);
    return 0;
  }
  if (parsed.outcome == Outcome::kInvalid) {
    std::fprintf(stderr, "rfid-tokend: %s\n", parsed.text.c_str());
    return kExitInvalid;
  }
  std::string password;
  rfid_tokend::KeyMaterial keys;
  if (const auto fault = checkFiles(parsed.config, keys, password)) {
    std::fprintf(stderr, "rfid-tokend: %s\n", fault->c_str());
    return kExitInvalid;
  }
  // The module copies it; the configuration checked its length.
  if (!parsed.config.logDir.empty()) (void)rfidSetLogDirectory(parsed.config.logDir.c_str());
  rfid_tokend::Supervisor supervisor(std::move(parsed.config), std::move(password), keys);
  return supervisor.run();
}
