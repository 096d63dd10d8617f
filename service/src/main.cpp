// rfid-tokend: the token provider service. See docs/service.md.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "Module_RFID_ext.h"
#include "config.h"
#include "config_limits.h"
#include "fleet_token.h"
#include "key_file_check.h"
#include "rfid_keys/key_file.h"
#include "supervisor.h"
#include "tls_files.h"
#include "worker.h"

namespace {

using rfid_tokend::Config;

constexpr int kExitInvalid = 2;

// The password: the file's first line. Like the key file, the file must
// not be open to group or others.
std::optional<std::string> readPassword(const std::string& path, std::string& password) {
  const std::string where = "--mqtt-password-file " + path + ": ";
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return where + "cannot be read (" + strerror(errno) + ")";
  if (!S_ISREG(info.st_mode)) return where + "not a regular file";
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return where + "group or others may read it; make it private (chmod 600)";
  }
  std::ifstream file(path);
  if (!file) return where + "cannot be read";
  // Read no further than the bound: a file of one endless line costs nothing.
  password.clear();
  for (char c; file.get(c) && c != '\n';) {
    if (password.size() == rfid_tokend::kMaxPasswordLength) {
      return where + "the first line is longer than " +
             std::to_string(rfid_tokend::kMaxPasswordLength) + " characters";
    }
    password.push_back(c);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return std::nullopt;
}

// Everything the configuration names must be usable before any port is
// opened; the reason for a refusal never quotes a file's content.
std::optional<std::string> checkFiles(const Config& config, std::string& password) {
  if (!config.keyFile.empty()) {
    if (const auto fault = rfid_tokend::keyFileFault(config.keyFile)) return "--keys " + *fault;
    rfid_keys::SectorKeys keys{};
    if (const auto fault = rfid_keys::readKeyFile(config.keyFile, true, keys)) {
      return "--keys: " + *fault;
    }
  }
  if (!config.fleetKeys.empty()) {
    rfid_cardauth::FleetKeys keys;
    if (const auto fault = rfid_tokend::readChargerFleetKeys(config.fleetKeys, keys)) {
      return "--fleet-keys: " + *fault;
    }
  }
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
  if (const auto fault = checkFiles(parsed.config, password)) {
    std::fprintf(stderr, "rfid-tokend: %s\n", fault->c_str());
    return kExitInvalid;
  }
  // The module copies it; the configuration checked its length.
  if (!parsed.config.logDir.empty()) (void)rfidSetLogDirectory(parsed.config.logDir.c_str());
  rfid_tokend::Supervisor supervisor(std::move(parsed.config), std::move(password));
  return supervisor.run();
}
