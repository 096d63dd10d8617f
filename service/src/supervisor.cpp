#include "supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Module_RFID_ext.h"
#include "service_log.h"
#include "worker.h"

namespace rfid_tokend {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstRestart{1000};
constexpr milliseconds kLongestRestart{30000};
// A worker that ran this long before it ended starts again after the first
// delay, not after the delay its earlier failures had built up.
constexpr milliseconds kHealthyRun{60000};
// Shutdown: the workers finish the exchange in flight (half a second), then
// the broker acknowledges communication_check false; all within 1.5 s.
constexpr milliseconds kWorkersStopWithin{1000};
constexpr milliseconds kMqttStopsBy{1400};
constexpr milliseconds kMalformedWarningEvery{10000};
constexpr std::size_t kLongestWorkerLine = 4096;
// A worker reports a sign of life before every exchange and every half
// second while it waits, so its longest silence is one exchange or the rest
// after a beep (600 ms). Silence for the time of several exchanges and a
// beep means it is stuck (stopped, or blocked in a system call): it is
// killed and started again. Starting (exec, and an emulator where one is
// used) gets a longer allowance.
constexpr milliseconds kSilenceLimit{3000};
constexpr milliseconds kStartAllowance{10000};
// The main process's own console lines wait in a pipe until the main loop
// moves them on; its size bounds what one turn of the loop may log.
constexpr int kOwnConsolePipeSize = 256 * 1024;

int millisecondsUntil(SteadyClock::time_point when, SteadyClock::time_point now) {
  const auto left = std::chrono::duration_cast<milliseconds>(when - now).count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

std::string exitText(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return std::string("signal ") + strsignal(WTERMSIG(status)) +
           (WCOREDUMP(status) ? " (core dumped)" : "");
  }
  return "status " + std::to_string(status);
}

// Closes every descriptor from `first` on, in a child about to exec.
void closeFrom(int first) {
  if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
  for (int fd = first; fd < 1024; ++fd) ::close(fd);
}

}  // namespace

Supervisor::Supervisor(Config config, rfid_secrets::SecretBuffer password, const KeyMaterial& keys)
    : config_(std::move(config)), keyRecord_(std::make_unique<SecretPages>(kKeyRecordSize)) {
  encodeKeyRecord(keys, *keyRecord_);
  if (config_.mqtt.enabled) mqtt_ = std::make_unique<MqttLink>(config_.mqtt, std::move(password));
}

Supervisor::~Supervisor() {
  killWorkers();
}

void Supervisor::killWorkers() {
  for (Slot& slot : slots_) {
    if (slot.pid <= 0) continue;
    ::kill(slot.pid, SIGKILL);
    ::waitpid(slot.pid, nullptr, 0);
    slot.pid = -1;
  }
}

std::optional<std::string> Supervisor::setUp() {
  // A closed pipe on standard output must not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  // Signals are read from a descriptor in the main loop; blocked before any
  // thread starts, so that no thread takes them.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&signals, signal);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signalFd_.reset(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signalFd_.valid()) return std::string("signalfd: ") + strerror(errno);

  // Nothing this process or its workers print may wait for a reader of
  // standard output or error. The events go to standard output; the console
  // lines of the module and the service, which are printed on descriptor 1,
  // go into a pipe that the main loop empties into standard output, or with
  // --jsonl into standard error (and, as always, to the monthly log file).
  events_ = std::make_unique<LineSink>(STDOUT_FILENO, "standard output");
  console_ = events_.get();
  if (config_.jsonl) {
    errorStream_ = std::make_unique<LineSink>(STDERR_FILENO, "standard error");
    console_ = errorStream_.get();
  }
  int ownConsole[2];
  if (::pipe2(ownConsole, O_CLOEXEC | O_NONBLOCK) != 0) {
    return std::string("cannot set up the console: ") + strerror(errno);
  }
  ownConsole_.reset(ownConsole[0]);
  (void)::fcntl(ownConsole[1], F_SETPIPE_SZ, kOwnConsolePipeSize);
  std::fflush(stdout);
  const bool moved = ::dup2(ownConsole[1], STDOUT_FILENO) >= 0;
  ::close(ownConsole[1]);
  if (!moved) return std::string("cannot set up the console: ") + strerror(errno);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Workers run this same program. Natively /proc/self/exe is that program
  // even after a package upgrade replaced the file; under an emulator the
  // program's path is handed to the emulator instead.
  if (const char* emulator = std::getenv(kEmulatorVariable); emulator != nullptr && *emulator) {
    std::istringstream words(emulator);
    for (std::string word; words >> word;) launcher_.push_back(word);
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string("cannot find the program's path: ") + strerror(errno);
    launcher_.emplace_back(path, static_cast<std::size_t>(length));
  } else {
    launcher_.emplace_back("/proc/self/exe");
  }

  slots_.resize(config_.readers.size());
  for (std::size_t i = 0; i < slots_.size(); ++i) slots_[i].index = i;
  return std::nullopt;
}

std::optional<std::string> Supervisor::spawn(Slot& slot) {
  int events[2];
  int commands[2];
  int console[2];
  const auto failed = [](const char* what) { return std::string(what) + ": " + strerror(errno); };
  if (::pipe2(events, O_CLOEXEC) != 0) return failed("pipe");
  rfid_serial::UniqueFd eventsRead(events[0]), eventsWrite(events[1]);
  if (::pipe2(commands, O_CLOEXEC) != 0) return failed("pipe");
  rfid_serial::UniqueFd commandsRead(commands[0]), commandsWrite(commands[1]);
  // The worker's console is never waited for: a line that does not fit is
  // lost, as one that does not fit on standard output is.
  if (::pipe2(console, O_CLOEXEC | O_NONBLOCK) != 0) return failed("pipe");
  rfid_serial::UniqueFd consoleRead(console[0]), consoleWrite(console[1]);
  int keys[2];
  if (::pipe2(keys, O_CLOEXEC | O_NONBLOCK) != 0) return failed("pipe");
  rfid_serial::UniqueFd keysRead(keys[0]), keysWrite(keys[1]);
  // The keys in force go first; an empty pipe takes a whole record.
  slot.keys = std::move(keysWrite);
  if (!sendKeys(slot)) return failed("the keys' pipe");

  std::vector<std::string> args = launcher_;
  args.emplace_back(kWorkerFlag);
  args.push_back(workerArgument(config_, slot.index));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return failed("fork");
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the parent may have threads.
    // A worker never outlives this process, whatever it is blocked in: a
    // SIGTERM it would read as an event, SIGKILL it cannot.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    const int eventFd = ::fcntl(eventsWrite.get(), F_DUPFD, kWorkerKeyFd + 1);
    const int commandFd = ::fcntl(commandsRead.get(), F_DUPFD, kWorkerKeyFd + 1);
    const int consoleFd = ::fcntl(consoleWrite.get(), F_DUPFD, kWorkerKeyFd + 1);
    const int keyFd = ::fcntl(keysRead.get(), F_DUPFD, kWorkerKeyFd + 1);
    if (eventFd < 0 || commandFd < 0 || consoleFd < 0 || keyFd < 0 ||
        ::dup2(consoleFd, STDOUT_FILENO) < 0 || ::dup2(consoleFd, STDERR_FILENO) < 0 ||
        ::dup2(eventFd, kWorkerEventFd) < 0 || ::dup2(commandFd, kWorkerCommandFd) < 0 ||
        ::dup2(keyFd, kWorkerKeyFd) < 0) {
      ::_exit(127);
    }
    closeFrom(kWorkerKeyFd + 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::fcntl(eventsRead.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(commandsWrite.get(), F_SETFL, O_NONBLOCK);
  slot.pid = pid;
  slot.events = std::move(eventsRead);
  slot.commands = std::move(commandsWrite);
  slot.console = std::move(consoleRead);
  slot.pending.clear();
  slot.consolePending.clear();
  slot.startedAt = SteadyClock::now();
  slot.lastSignOfLife = slot.startedAt + kStartAllowance - kSilenceLimit;
  logLine(Level::kInfo, "reader %s: worker %d started", config_.readers[slot.index].name.c_str(),
          static_cast<int>(pid));
  return std::nullopt;
}

std::chrono::milliseconds Supervisor::nextRestartDelay(Slot& slot, SteadyClock::time_point now) {
  if (now - slot.startedAt >= kHealthyRun) slot.failures = 0;
  const milliseconds delay =
      std::min<milliseconds>(kFirstRestart * (1 << std::min(slot.failures, 5)), kLongestRestart);
  ++slot.failures;
  return delay;
}

void Supervisor::start(Slot& slot, SteadyClock::time_point now) {
  const auto fault = spawn(slot);
  if (!fault) return;
  if (slot.failures == 0) slot.startedAt = now;  // the backoff grows from here
  const milliseconds delay = nextRestartDelay(slot, now);
  slot.restartAt = now + delay;
  logLine(Level::kError, "reader %s: worker cannot be started (%s); retrying in %.0f s",
          config_.readers[slot.index].name.c_str(), fault->c_str(),
          std::chrono::duration<double>(delay).count());
  if (slot.state != ReaderState::kDown) {
    slot.state = ReaderState::kDown;
    output(slot,
           {ReaderEvent::Kind::kDown, "", "", "its worker cannot be started (" + *fault + ")"});
  }
}

void Supervisor::reap(SteadyClock::time_point now) {
  int status = 0;
  for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
    const auto slot = std::find_if(slots_.begin(), slots_.end(),
                                   [pid](const Slot& candidate) { return candidate.pid == pid; });
    if (slot == slots_.end()) continue;
    readEvents(*slot, now);  // what it reported before it ended
    forwardConsole(slot->console, slot->consolePending);
    slot->pid = -1;
    slot->events.reset();
    slot->commands.reset();
    slot->console.reset();
    slot->keys.reset();
    logMedium_.ended(static_cast<int>(slot->index));
    if (stopping_) continue;
    const milliseconds delay = nextRestartDelay(*slot, now);
    slot->restartAt = now + delay;
    logLine(Level::kWarn, "reader %s: worker %d ended (%s); restarting in %.0f s",
            config_.readers[slot->index].name.c_str(), static_cast<int>(pid),
            exitText(status).c_str(), std::chrono::duration<double>(delay).count());
    if (slot->state != ReaderState::kDown) {
      slot->state = ReaderState::kDown;
      output(*slot, {ReaderEvent::Kind::kDown, "", "", "its worker ended"});
    }
  }
}

void Supervisor::readEvents(Slot& slot, SteadyClock::time_point now) {
  if (!slot.events.valid()) return;
  char chunk[1024];
  for (ssize_t got; (got = ::read(slot.events.get(), chunk, sizeof chunk)) > 0;) {
    slot.lastSignOfLife = now;
    slot.pending.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; (end = slot.pending.find('\n')) != std::string::npos;) {
      const std::string line = slot.pending.substr(0, end);
      slot.pending.erase(0, end + 1);
      if (const auto medium = decodeLogMediumLine(line)) {
        logMedium_.report(static_cast<int>(slot.index), *medium);
      } else if (const auto event = decodeReaderEvent(line)) {
        handle(slot, *event, now);
      }
    }
    if (slot.pending.size() > kLongestWorkerLine) slot.pending.clear();
  }
}

void Supervisor::output(const Slot& slot, const ReaderEvent& event) {
  const ReaderConfig& reader = config_.readers[slot.index];
  const std::string line =
      eventLine(event, reader.name, reader.connectors, std::chrono::system_clock::now()) + "\n";
  events_->put(line);
}

void Supervisor::forwardConsole(rfid_serial::UniqueFd& from, std::string& pending) {
  if (!from.valid()) return;
  char chunk[4096];
  for (ssize_t got; (got = ::read(from.get(), chunk, sizeof chunk)) > 0;) {
    pending.append(chunk, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      console_->put(std::string_view(pending).substr(start, end + 1 - start));
    }
    pending.erase(0, start);
    if (pending.size() > kLongestWorkerLine) {
      console_->put(pending + "\n");
      pending.clear();
    }
  }
}

void Supervisor::pumpOutput() {
  forwardConsole(ownConsole_, ownConsolePending_);
  for (Slot& slot : slots_) forwardConsole(slot.console, slot.consolePending);
  for (LineSink* sink : {events_.get(), errorStream_.get()}) {
    if (sink == nullptr) continue;
    sink->flush();
    // The notice reaches the monthly log at once, and the console through
    // the pipe, when it takes lines again.
    if (const auto notice = sink->takeNotice()) logLine(Level::kWarn, "%s", notice->c_str());
  }
}

void Supervisor::checkLiveness(SteadyClock::time_point now) {
  for (Slot& slot : slots_) {
    if (slot.pid <= 0 || now - slot.lastSignOfLife < kSilenceLimit) continue;
    // Killed before anything is logged: nothing may stand between the
    // verdict and the kill.
    ::kill(slot.pid, SIGKILL);
    const ReaderConfig& reader = config_.readers[slot.index];
    logLine(Level::kWarn, "reader %s: worker %d gave no sign of life for %.1f s; killed it",
            reader.name.c_str(), static_cast<int>(slot.pid),
            std::chrono::duration<double>(now - slot.lastSignOfLife).count());
    // Once: the restart follows when the worker has been reaped.
    slot.lastSignOfLife = now + kStartAllowance;
    if (slot.state != ReaderState::kDown) {
      slot.state = ReaderState::kDown;
      output(slot, {ReaderEvent::Kind::kDown, "", "", "its worker is stuck"});
    }
  }
}

void Supervisor::checkLogMedium() {
  unsigned long lost = 0;
  const int why = rfidLogMediumState(&lost);
  logMedium_.report(-1, {why, lost});
  const auto change = logMedium_.change();
  if (!change) return;
  if (change->losing) {
    logLine(Level::kWarn, "the log medium takes no entries (%s): counting the entries lost",
            change->reason.c_str());
  } else {
    logLine(Level::kWarn, "the log medium takes entries again; %lu entries were lost",
            change->lost);
  }
  events_->put(logMediumEventLine(*change, std::chrono::system_clock::now()) + "\n");
}

void Supervisor::handle(Slot& slot, const ReaderEvent& event, SteadyClock::time_point now) {
  const ReaderConfig& reader = config_.readers[slot.index];
  switch (event.kind) {
    case ReaderEvent::Kind::kUp:
      if (slot.state == ReaderState::kUp) return;
      slot.state = ReaderState::kUp;
      logLine(Level::kInfo, "reader %s up (%s %s)", reader.name.c_str(), modelName(reader.model),
              reader.path.c_str());
      break;
    case ReaderEvent::Kind::kDown:
      if (slot.state == ReaderState::kDown) return;
      slot.state = ReaderState::kDown;
      logLine(Level::kWarn, "reader %s down: %s; retrying", reader.name.c_str(),
              event.reason.c_str());
      break;
    case ReaderEvent::Kind::kToken:
      if (mqtt_) {
        mqtt_->publishToken(providedTokenPayload(event.value, event.type, reader.connectors),
                            reader.name, now, now);
      }
      recent_.remember(event.value, slot.index, now);
      break;
    case ReaderEvent::Kind::kRemoved:
    case ReaderEvent::Kind::kRefused:  // no token: the charging stack hears nothing
      break;
  }
  output(slot, event);
}

void Supervisor::warnMalformed(const std::string& topic, const std::string& fault,
                               SteadyClock::time_point now) {
  // One line per topic at most every ten seconds: a broken publisher must
  // not flood the log.
  const auto last = lastMalformedWarning_.find(topic);
  if (last != lastMalformedWarning_.end() && now - last->second < kMalformedWarningEvery) return;
  lastMalformedWarning_[topic] = now;
  logLine(Level::kWarn, "ignored a malformed message on %s: %s", topic.c_str(), fault.c_str());
}

void Supervisor::handleMessage(const MqttLink::Message& message, SteadyClock::time_point now) {
  if (message.topic == mqtt_->heartbeatTopic()) {
    if (!parseHeartbeat(message.payload)) {
      warnMalformed(message.topic, "the heartbeat is not an integer", now);
      return;
    }
    if (!heartbeatsArriving_) logLine(Level::kInfo, "heartbeats from the charging stack arrive");
    heartbeatsArriving_ = true;
    lastHeartbeat_ = now;
    return;
  }
  if (message.topic != mqtt_->validationTopic()) return;
  std::string fault;
  const auto verdict = parseValidationStatus(message.payload, fault);
  if (!verdict) {
    warnMalformed(message.topic, fault, now);
    return;
  }
  if (verdict->status == ValidationStatus::Status::kProcessing) return;
  // Verdicts on tokens of other providers, or on old ones, are not ours.
  const bool accepted = verdict->status == ValidationStatus::Status::kAccepted;
  const auto reader = recent_.readerToSound(verdict->value, accepted, now);
  if (!reader) return;
  Slot& slot = slots_[*reader];
  if (!slot.commands.valid()) return;
  const std::string command = std::string(accepted ? kCommandAccepted : kCommandRejected) + "\n";
  (void)!::write(slot.commands.get(), command.data(), command.size());
}

void Supervisor::checkHeartbeat(SteadyClock::time_point now) {
  const auto timeout = std::chrono::duration<double>(config_.mqtt.heartbeatTimeoutSeconds);
  if (heartbeatsArriving_ && now - lastHeartbeat_ > timeout) {
    heartbeatsArriving_ = false;
    logLine(Level::kWarn, "heartbeats from the charging stack stopped: none for %.1f s",
            config_.mqtt.heartbeatTimeoutSeconds);
  }
}

bool Supervisor::readSignals() {
  bool childEnded = false;
  signalfd_siginfo info{};
  while (::read(signalFd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    switch (info.ssi_signo) {
      case SIGCHLD:
        childEnded = true;
        break;
      case SIGHUP:
        reloadKeys();
        break;
      default:
        stopping_ = true;
        break;
    }
  }
  return childEnded;
}

void Supervisor::reloadKeys() {
  KeyMaterial keys;
  if (const auto fault = readKeyMaterial(config_, keys)) {
    logLine(Level::kError, "SIGHUP: key files not reloaded, the keys before stay: %s",
            fault->c_str());
    return;
  }
  encodeKeyRecord(keys, *keyRecord_);
  logLine(Level::kInfo, "SIGHUP: key files reloaded; the workers take the new keys");
  for (Slot& slot : slots_) {
    if (slot.pid <= 0) continue;
    // A worker whose pipe does not take the record is not reading it: it is
    // stuck, and starts again with the keys in force.
    if (!sendKeys(slot)) {
      logLine(Level::kWarn, "reader %s: worker %d takes no keys; restarting it",
              config_.readers[slot.index].name.c_str(), static_cast<int>(slot.pid));
      ::kill(slot.pid, SIGKILL);
      continue;
    }
    ::kill(slot.pid, SIGHUP);
  }
}

bool Supervisor::sendKeys(Slot& slot) {
  std::size_t written = 0;
  while (written < kKeyRecordSize) {
    const ssize_t put =
        ::write(slot.keys.get(), keyRecord_->data() + written, kKeyRecordSize - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<std::size_t>(put);
  }
  return true;
}

int Supervisor::run() {
  if (const auto fault = setUp()) {
    std::fprintf(stderr, "rfid-tokend: %s\n", fault->c_str());
    return 1;
  }
  std::string outputs = config_.jsonl ? "JSON lines on standard output" : "standard output";
  if (mqtt_) outputs += ", MQTT at " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port);
  logLine(Level::kInfo, "starting with %zu reader(s); events to %s", slots_.size(),
          outputs.c_str());
  // The workers start before the MQTT thread exists.
  for (Slot& slot : slots_) start(slot, SteadyClock::now());
  if (mqtt_) {
    if (const auto fault = mqtt_->start()) {
      std::fprintf(stderr, "rfid-tokend: %s\n", fault->c_str());
      stopping_ = true;
      stop();
      return 2;
    }
  }

  while (!stopping_) {
    auto now = SteadyClock::now();
    SteadyClock::time_point next = now + std::chrono::seconds(1);
    if (mqtt_) next = std::min(next, mqtt_->tick(now));
    for (const Slot& slot : slots_) {
      next = std::min(next, slot.pid < 0 ? slot.restartAt : slot.lastSignOfLife + kSilenceLimit);
    }
    std::vector<pollfd> fds = {{signalFd_.get(), POLLIN, 0}, {ownConsole_.get(), POLLIN, 0}};
    if (mqtt_) fds.push_back({mqtt_->wakeFd(), POLLIN, 0});
    for (const Slot& slot : slots_) {
      if (slot.events.valid()) fds.push_back({slot.events.get(), POLLIN, 0});
      if (slot.console.valid()) fds.push_back({slot.console.get(), POLLIN, 0});
    }
    for (const LineSink* sink : {events_.get(), errorStream_.get()}) {
      if (sink != nullptr && sink->waiting()) fds.push_back({sink->fd(), POLLOUT, 0});
    }
    if (::poll(fds.data(), fds.size(), millisecondsUntil(next, now)) < 0 && errno != EINTR) {
      logLine(Level::kError, "poll failed: %s", strerror(errno));
      return 1;
    }
    now = SteadyClock::now();
    const bool childEnded = readSignals();
    for (Slot& slot : slots_) readEvents(slot, now);
    if (childEnded) reap(now);
    checkLiveness(now);
    if (mqtt_) {
      for (const auto& message : mqtt_->process(now)) handleMessage(message, now);
      checkHeartbeat(now);
    }
    for (Slot& slot : slots_) {
      if (!stopping_ && slot.pid < 0 && now >= slot.restartAt) start(slot, now);
    }
    checkLogMedium();
    pumpOutput();
  }
  stop();
  return 0;
}

void Supervisor::stop() {
  const auto start = SteadyClock::now();
  logLine(Level::kInfo, "stopping");
  for (const Slot& slot : slots_) {
    if (slot.pid > 0) ::kill(slot.pid, SIGTERM);
  }
  const auto workersBy = start + kWorkersStopWithin;
  for (;;) {
    const auto now = SteadyClock::now();
    if (readSignals()) reap(now);
    for (Slot& slot : slots_) readEvents(slot, now);
    pumpOutput();
    const bool running =
        std::any_of(slots_.begin(), slots_.end(), [](const Slot& slot) { return slot.pid > 0; });
    if (!running || now >= workersBy) break;
    pollfd signal{signalFd_.get(), POLLIN, 0};
    ::poll(&signal, 1, millisecondsUntil(workersBy, now));
  }
  killWorkers();
  if (mqtt_) mqtt_->shutdown(start + kMqttStopsBy);
  logLine(Level::kInfo, "stopped");
  std::fflush(stdout);
  pumpOutput();  // what the streams take now; the rest is lost
}

}  // namespace rfid_tokend
