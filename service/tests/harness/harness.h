// What the end-to-end tests run the service against: a real mosquitto on
// 127.0.0.1 (a port of its own per test), an MQTT subscriber, and the
// service itself as a child process. Simulated readers come from rfid_sim.
//
// Waits are bounds, not figures: each is multiplied by RFID_TEST_TIME_SCALE
// (default 1), which slower runs (an emulator) raise.
#ifndef RFID_TOKEND_TESTS_HARNESS_H
#define RFID_TOKEND_TESTS_HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace rfid_tokend_test {

// The topics of a service started with --module-id rfid_1, and the default
// auth consumer's verdicts.
inline const std::string kPrefix = "everest_api/1/auth_token_provider/rfid_1";
inline const std::string kTokenTopic = kPrefix + "/m2e/provided_token";
inline const std::string kCheckTopic = kPrefix + "/m2e/communication_check";
inline const std::string kValidationTopic =
    "everest_api/1/auth_consumer/auth/e2m/token_validation_status";

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds scaled(milliseconds bound);
// Polls `done` every 20 ms until it holds or `bound` (scaled) has passed.
bool eventually(const std::function<bool()>& done, milliseconds bound);

// A scratch directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `text` to file(name) with `mode`; returns its path.
  std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) const;

 private:
  std::string path_;
};

// The start of a service's event line for a token, and for a refused card.
inline std::string tokenLine(const std::string& reader, const std::string& value,
                             const std::string& type) {
  return R"("event":"token","reader":")" + reader + R"(","value":")" + value + R"(","type":")" +
         type + "\"";
}
inline std::string refusedLine(const std::string& reason, const std::string& reader,
                               const std::string& serial) {
  return R"("event":"refused","reason":")" + reason + R"(","reader":")" + reader +
         R"(","serial":")" + serial + "\"";
}

std::string readFile(const std::string& path);
// The module's monthly log file in `directory`, and how often `text` occurs in it.
std::string monthlyLog(const std::string& directory);
int countInLog(const std::string& directory, const std::string& text);
// Runs a program to its end; true when it exited 0.
bool runProgram(const std::vector<std::string>& argv);

int freePort();

// Under AddressSanitizer, adds `option` to ASAN_OPTIONS for the programs
// started while it lives (the service inherits it): a test that preloads
// an uninstrumented shim, or sends the worker SIGSEGV to see how it dies,
// needs the sanitizer to stand aside. Elsewhere it does nothing.
class ScopedSanitizerOption {
 public:
  explicit ScopedSanitizerOption(const std::string& option);
  ~ScopedSanitizerOption();
  ScopedSanitizerOption(const ScopedSanitizerOption&) = delete;
  ScopedSanitizerOption& operator=(const ScopedSanitizerOption&) = delete;

 private:
  bool set_ = false;
  bool hadBefore_ = false;
  std::string before_;
};

class Broker {
 public:
  // `config` is the broker's configuration without persistence and user
  // lines; the broker counts as started once every one of `ports` accepts.
  Broker(const TempDir& dir, std::string config, std::vector<int> ports);
  ~Broker();
  void start();
  void stop();
  // The running broker, for signals (kill -STOP, kill -9) from a test.
  pid_t pid() const { return pid_; }

 private:
  std::string configPath_;
  std::vector<int> ports_;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic;
  std::string payload;
};

struct ClientAuth {
  std::string username;
  std::string password;
  std::string caFile;
};

class Subscriber {
 public:
  // Subscribes to everything. A fixed `sessionId` keeps the session (and the
  // messages that arrive while it is away) across a broker restart.
  Subscriber(int port, const ClientAuth& auth = {}, const std::string& sessionId = "");
  ~Subscriber();
  void publish(const std::string& topic, const std::string& payload);
  std::vector<std::string> payloads(const std::string& topic) const;
  int count(const std::string& topic, const std::string& payload) const;

 private:
  static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
  mosquitto* client_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<Received> received_;
};

class Service {
 public:
  explicit Service(const std::vector<std::string>& args);
  ~Service();
  pid_t pid() const { return pid_; }
  // Lines of standard output so far.
  const std::vector<std::string>& lines();
  bool waitForLine(const std::string& text, milliseconds bound, int occurrences = 1);
  int countLines(const std::string& text);
  // Sends `signal`; waits for the exit and returns the status, or -1.
  int stop(int signal, milliseconds bound);
  // Closes the reading end of standard output (the consumer went away).
  void closeOutput();
  const std::string& errorFile() const { return errorFile_; }

 private:
  void readOutput();
  TempDir dir_;
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
  std::string errorFile_;
};

// Runs the service to its end with `args`; its exit status and error stream.
struct Outcome {
  int status;
  std::string errors;
};
Outcome runService(const std::vector<std::string>& args);

// ---- Faults of the process's surroundings ----

// A pipe nobody reads: shrunk to one page and full from the start. The test
// keeps both ends, to fill it again or to read what is in it.
class FullPipe {
 public:
  FullPipe();
  ~FullPipe();
  FullPipe(const FullPipe&) = delete;
  FullPipe& operator=(const FullPipe&) = delete;
  int writeEnd() const { return fds_[1]; }
  void fill();
  // Reads everything in it now; its lines.
  std::vector<std::string> drain();

 private:
  int fds_[2] = {-1, -1};
  int reader_ = -1;
  int writer_ = -1;
  std::string pending_;
};

// Starts the service with standard output and error on these descriptors;
// -1 starts it with that descriptor closed, as does `closeInput` for
// standard input.
pid_t startService(const std::vector<std::string>& args, int output, int errors,
                   bool closeInput = false);
// Sends `signal` and waits up to `bound` (scaled) for the exit; its status,
// or -1 when it had to be killed.
int stopService(pid_t pid, int signal, milliseconds bound);

}  // namespace rfid_tokend_test

#endif  // RFID_TOKEND_TESTS_HARNESS_H
