// The service's main process: starts a worker per reader and restarts one
// that dies, turns the workers' reports into events on standard output and
// tokens on MQTT, routes the auth consumer's verdicts back to the reader
// that read the token, and watches the charging stack's heartbeat.
#ifndef RFID_TOKEND_SUPERVISOR_H
#define RFID_TOKEND_SUPERVISOR_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "debouncer.h"
#include "key_material.h"
#include "line_sink.h"
#include "log_medium.h"
#include "mqtt_link.h"
#include "payloads.h"
#include "recent_tokens.h"
#include "rfid_secrets/secret_file.h"
#include "rfid_serial/unique_fd.h"

namespace rfid_tokend {

// The environment variable naming a program (with its arguments, separated
// by spaces) that runs the workers' binary, e.g. "qemu-arm -L /usr/arm-linux-
// gnueabihf" when the service itself runs under an emulator.
constexpr char kEmulatorVariable[] = "RFID_TOKEND_EMULATOR";

class Supervisor {
  using milliseconds = std::chrono::milliseconds;

 public:
  // `keys` as read at start; the supervisor keeps them, in SecretPages,
  // until a reload replaces them all.
  Supervisor(Config config, rfid_secrets::SecretBuffer password, const KeyMaterial& keys);
  ~Supervisor();
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Runs until SIGTERM or SIGINT; returns the exit status.
  int run();

 private:
  enum class ReaderState { kUnknown, kUp, kDown };
  struct Slot {
    std::size_t index = 0;
    pid_t pid = -1;
    rfid_serial::UniqueFd events;
    rfid_serial::UniqueFd commands;
    rfid_serial::UniqueFd console;  // the worker's standard output and error
    rfid_serial::UniqueFd keys;     // key records to the worker
    std::string pending;            // a partial line from the worker
    std::string consolePending;     // a partial console line from the worker
    SteadyClock::time_point lastSignOfLife{};
    ReaderState state = ReaderState::kUnknown;
    SteadyClock::time_point startedAt{};
    SteadyClock::time_point restartAt{};
    int failures = 0;
  };

  std::optional<std::string> setUp();
  // Starts the slot's worker; why it could not, otherwise nothing.
  std::optional<std::string> spawn(Slot& slot);
  // spawn(), and for a worker that cannot be started one Error line, a
  // `down` event and a retry after the restart backoff.
  void start(Slot& slot, SteadyClock::time_point now);
  milliseconds nextRestartDelay(Slot& slot, SteadyClock::time_point now);
  void checkLogMedium();
  void killWorkers();
  void reap(SteadyClock::time_point now);
  void readEvents(Slot& slot, SteadyClock::time_point now);
  void handle(Slot& slot, const ReaderEvent& event, SteadyClock::time_point now);
  void output(const Slot& slot, const ReaderEvent& event);
  void checkLiveness(SteadyClock::time_point now);
  // Moves the console lines of the workers and of this process to the
  // console sink, and writes what the sinks hold.
  void pumpOutput();
  void forwardConsole(rfid_serial::UniqueFd& from, std::string& pending);
  void handleMessage(const MqttLink::Message& message, SteadyClock::time_point now);
  void checkHeartbeat(SteadyClock::time_point now);
  void warnMalformed(const std::string& topic, const std::string& fault,
                     SteadyClock::time_point now);
  bool readSignals();
  // SIGHUP: every key file read again; all taken, or none.
  void reloadKeys();
  // False when the whole record did not fit in the worker's pipe.
  bool sendKeys(Slot& slot);
  void stop();

  Config config_;
  std::unique_ptr<SecretPages> keyRecord_;  // the keys in force
  std::unique_ptr<MqttLink> mqtt_;
  std::vector<Slot> slots_;
  std::vector<std::string> launcher_;  // the command that runs a worker, before its arguments
  rfid_serial::UniqueFd signalFd_;
  std::unique_ptr<LineSink> events_;       // standard output
  std::unique_ptr<LineSink> errorStream_;  // standard error, with --jsonl
  LineSink* console_ = nullptr;            // where console lines go
  rfid_serial::UniqueFd ownConsole_;       // this process's descriptor 1 leads here
  std::string ownConsolePending_;
  bool stopping_ = false;
  LogMedium logMedium_;

  RecentTokens recent_;
  bool heartbeatsArriving_ = false;
  SteadyClock::time_point lastHeartbeat_{};
  std::map<std::string, SteadyClock::time_point> lastMalformedWarning_;
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_SUPERVISOR_H
