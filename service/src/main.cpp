// rfid-tokend: the token provider service. See docs/service.md.
#include <fcntl.h>
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
#include "rfid_host/exit_code.h"
#include "rfid_secrets/secret_file.h"
#include "settings.h"
#include "supervisor.h"
#include "tls_files.h"
#include "worker.h"

namespace {

using rfid_tokend::Config;

// A password file holds one line; anything far larger is not one.
constexpr std::size_t kLongestPasswordFile = 64 * 1024;

// The password: the file's first line, read with the secret file reader's
// rules (a private regular file of this user or root, at most 64 KiB).
std::optional<std::string> readPassword(const std::string& path,
                                        rfid_secrets::SecretBuffer& password) {
  const std::string where = "--mqtt-password-file " + path + ": ";
  rfid_secrets::SecretBuffer text;
  rfid_secrets::FileRules rules;
  rules.maxSize = kLongestPasswordFile;
  if (const auto fault = rfid_secrets::readSecretFile(path, text, rules)) {
    return where + fault->ruleText();
  }
  const std::size_t lineEnd = std::min(text.view().find('\n'), text.size());
  // A bounded line, as every other string setting.
  if (lineEnd > rfid_tokend::kMaxPasswordLength) {
    return where + "the first line is longer than " +
           std::to_string(rfid_tokend::kMaxPasswordLength) + " characters";
  }
  text.truncate(lineEnd);
  if (!text.empty() && text.view().back() == '\r') text.truncate(lineEnd - 1);
  password = std::move(text);
  return std::nullopt;
}

// Everything the configuration names must be usable before any port is
// opened; the reason for a refusal never quotes a file's content.
std::optional<std::string> checkFiles(const Config& config, rfid_tokend::KeyMaterial& keys,
                                      rfid_secrets::SecretBuffer& password) {
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
  // For scripts/settings-doc: the settings as docs/service.md tables them.
  if (argc == 2 && std::strcmp(argv[1], "--settings-table") == 0) {
    std::fputs(rfid_tokend::settingsTable().c_str(), stdout);
    return 0;
  }
  auto parsed = rfid_tokend::parseCommandLine(argc, argv);
  using Outcome = rfid_tokend::ParseResult::Outcome;
  if (parsed.outcome == Outcome::kHelp) {
    std::fputs(parsed.text.c_str(), stdout);
    return rfid_host::kExitOk;
  }
  if (parsed.outcome == Outcome::kInvalid) {
    std::fprintf(stderr, "rfid-tokend: %s\n", parsed.text.c_str());
    return rfid_host::kExitUsage;
  }
  rfid_secrets::SecretBuffer password;
  rfid_tokend::KeyMaterial keys;
  if (const auto fault = checkFiles(parsed.config, keys, password)) {
    std::fprintf(stderr, "rfid-tokend: %s\n", fault->c_str());
    return rfid_host::kExitUsage;
  }
  // The module copies it; the configuration checked its length.
  if (!parsed.config.logDir.empty()) (void)rfidSetLogDirectory(parsed.config.logDir.c_str());
  rfid_tokend::Supervisor supervisor(std::move(parsed.config), std::move(password), keys);
  return supervisor.run();
}
