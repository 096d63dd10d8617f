#include "worker.h"

#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "key_material.h"
#include "poll_machine.h"
#include "rfid_host/reader.h"
#include "rfid_keys/key_file.h"
#include "rfid_serial/serial_port.h"
#include "rfid_serial/unique_fd.h"
#include "service_log.h"
#include "settings.h"
#include "worker_channel.h"

namespace rfid_tokend {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstRetry{100};
constexpr milliseconds kLongestRetry{2000};
constexpr std::uint8_t kKeyA = 0;
// How often the port's path is looked at (gone, or another device now); a
// hang-up of the open port is seen at every poll.
constexpr milliseconds kPathCheckEvery{1000};

// What a worker takes from the configuration.
struct Settings {
  explicit Settings(const Config& config)
      : logDir(config.logDir), quietWait(config.quietWait), quietMs(config.quietMs) {
    poll.reader = config.readers.at(0);
    poll.minPoll = milliseconds(config.minPollMs);
    poll.debounce.absentPolls = config.debouncePolls;
    poll.debounce.absentTime = milliseconds(config.debounceMs);
  }

  PollSettings poll;
  std::string logDir;
  bool quietWait;
  int quietMs;
};

Settings decodeSettings(const std::string& argument) {
  return Settings(decodeWorkerSettings(argument));
}

// The process around a PollMachine: opens the port and tells when it is
// gone, and carries the machine's events and the service's commands and
// keys through its channel.
class Worker : private PollHost {
 public:
  Worker(const Settings& settings, int signalFd)
      : readerSettings_(settings.poll.reader),
        channel_(
            signalFd, [this](const std::string& command) { takeCommand(command); },
            [this] { reloadKeys(); }),
        machine_(settings.poll, SteadyClock::now, *this, exchangeReport_) {
    std::memcpy(builtInKeys_, sectorKeyA, sizeof builtInKeys_);
  }

  // Takes the records the service has sent and uses the last whole one;
  // false when none came whole.
  bool takeKeys() {
    return channel_.takeKeys([this](const KeyMaterial& keys) { useKeys(keys); });
  }

  int run() {
    milliseconds retry = kFirstRetry;
    // Signals and commands are read by the channel's waits, when they are
    // there.
    while (!channel_.stopping()) {
      if (!port_.valid()) {
        std::string fault;
        if (!openPort(fault)) {
          machine_.readerDown(fault);
          channel_.waitUntil(SteadyClock::now() + retry, nullptr);
          retry = std::min(retry * 2, kLongestRetry);
          continue;
        }
        retry = kFirstRetry;
        machine_.readerUp();
      }
      // A sound part, the wait for the next poll (cut short by a sound part
      // due, a stop or a hang-up), then the poll unless the reader still
      // beeps: the channel's wait is the loop's only one.
      if (soundPartDue()) machine_.playSoundPart();
      channel_.waitUntil(machine_.nextPollAt(), [this] { return soundPartDue(); });
      if (!soundPartDue() && SteadyClock::now() >= machine_.readerBusyUntil()) machine_.poll();
    }
    return 0;
  }

 private:
  int fd() const { return port_.get(); }

  bool soundPartDue() const {
    return port_.valid() && !channel_.stopping() && machine_.soundPartDue();
  }

  // The keys of the service's record over the module's built-in ones.
  void useKeys(const KeyMaterial& keys) {
    std::memcpy(sectorKeyA, builtInKeys_, sizeof builtInKeys_);
    if (keys.sectorKeys) rfid_keys::loadIntoModule(*keys.sectorKeys);
    if (keys.fleet) machine_.useFleetKeys(*keys.fleet);
  }

  void reloadKeys() {
    if (takeKeys())
      logLine(Level::kInfo, "reader %s: key file reloaded", readerSettings_.name.c_str());
  }

  void takeCommand(const std::string& command) {
    if (command == kCommandAccepted) machine_.startSound(Sound::kAccepted);
    if (command == kCommandRejected) machine_.startSound(Sound::kRejected);
  }

  bool openPort(std::string& fault) {
    port_ = rfid_serial::openSerialPort(readerSettings_.path, readerSettings_.baud, fault);
    if (!port_.valid()) return false;
    // A write to a reader that takes no more bytes fails at once instead of
    // waiting forever: the module then reports a failed exchange. Reads
    // return at once either way.
    ::fcntl(fd(), F_SETFL, ::fcntl(fd(), F_GETFL) | O_NONBLOCK);
    reader_ = rfid_host::makeReader(fd(), readerSettings_.model, kKeyA);
    struct stat opened {};
    if (::fstat(fd(), &opened) == 0) portDevice_ = opened.st_rdev;
    channel_.watchPort(fd());
    lastPathCheck_ = SteadyClock::now();
    machine_.attach(*reader_);
    return true;
  }

  // Why the port cannot take a request now, or nothing when it can: a
  // hang-up seen by the last wait, or, at most every kPathCheckEvery, a
  // path that is gone or leads elsewhere.
  std::optional<std::string> portFault() {
    if (channel_.portHungUp()) return std::string("the port hung up (reader unplugged)");
    const auto now = SteadyClock::now();
    if (now - lastPathCheck_ < kPathCheckEvery) return std::nullopt;
    lastPathCheck_ = now;
    struct stat current {};
    if (::stat(readerSettings_.path.c_str(), &current) != 0) {
      return "the path " + readerSettings_.path + " is gone";
    }
    if (S_ISCHR(current.st_mode) && current.st_rdev != portDevice_) {
      return "the path " + readerSettings_.path + " now leads to another device";
    }
    return std::nullopt;
  }

  // True when a module call may go out: no stop is pending and the port is
  // alive. A dead port is closed and reported, so that no call goes out
  // until it has been opened again. `checked`: the inputs were just looked
  // at and no module call went out since.
  bool ready(bool checked) {
    channel_.signOfLife();
    if (!checked) channel_.checkInputs();
    (void)channel_.takeFreshInputs();
    if (channel_.stopping() || !port_.valid()) return false;
    auto fault = portFault();
    if (!fault && !channel_.portPollFault().empty()) {
      fault = "the port cannot be polled: " + channel_.portPollFault();
    }
    if (fault) {
      port_.reset();
      channel_.watchPort(-1);
      machine_.readerDown(*fault);
      return false;
    }
    return true;
  }

  bool mayCall() override { return ready(false); }
  bool mayPoll() override { return ready(channel_.takeFreshInputs()); }
  void checkServesNextPoll() override { channel_.markInputsFresh(); }
  void send(const ReaderEvent& event) override { channel_.send(event); }

  ReaderConfig readerSettings_;  // the reader this worker polls, as configured
  ModuleExchangeReport exchangeReport_;
  WorkerChannel channel_;
  PollMachine machine_;
  rfid_serial::UniqueFd port_;
  // The reader on port_, made when it opens. It outlives a port closed by a
  // fault until the next open, so that a read in flight never holds a
  // reader that is gone; ready() keeps any call from reaching it meanwhile.
  std::unique_ptr<rfid_host::Reader> reader_;
  dev_t portDevice_ = 0;
  SteadyClock::time_point lastPathCheck_{};
  unsigned char builtInKeys_[sizeof sectorKeyA / sizeof sectorKeyA[0]][sizeof sectorKeyA[0]];
};

}  // namespace

std::string workerArgument(const Config& config, std::size_t index) {
  return encodeWorkerSettings(config, index);
}

int runWorker(const std::string& argument) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::optional<Settings> decoded;
  try {
    decoded.emplace(decodeSettings(argument));
  } catch (const std::exception& error) {  // see decodeWorkerSettings
    std::fprintf(stderr, "rfid-tokend: bad worker settings: %s\n", error.what());
    return 1;
  }
  Settings& settings = *decoded;
  // The configuration was checked: the directory fits, the setting is valid.
  if (!settings.logDir.empty()) (void)rfidSetLogDirectory(settings.logDir.c_str());
  // The quiet wait of the service is the module's frame wait: the quiet
  // wait that also ends once the reply is as long as it announced.
  (void)rfidSetReplyWait(settings.quietWait ? RFID_REPLY_WAIT_FRAME : RFID_REPLY_WAIT_FIXED,
                         settings.quietMs);

  // Signals are read from a descriptor between module calls, never taken by
  // a handler: a handler would cut the fixed wait of the exchange in flight.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const rfid_serial::UniqueFd signalFd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  ::fcntl(kWorkerCommandFd, F_SETFL, ::fcntl(kWorkerCommandFd, F_GETFL) | O_NONBLOCK);

  Worker worker(settings, signalFd.get());
  // The service wrote the keys in force before this process started.
  ::fcntl(kWorkerKeyFd, F_SETFL, ::fcntl(kWorkerKeyFd, F_GETFL) | O_NONBLOCK);
  if (!worker.takeKeys()) {
    logLine(Level::kError, "reader worker: no keys from the service");
    return kWorkerKeyFault;
  }
  return worker.run();
}

}  // namespace rfid_tokend
