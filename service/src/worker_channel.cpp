#include "worker_channel.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "Module_RFID_ext.h"
#include "log_medium.h"
#include "worker.h"

namespace rfid_tokend {
namespace {

using std::chrono::milliseconds;

// How often the worker tells the service it is alive (see kSignOfLife).
constexpr milliseconds kSignOfLifeEvery{500};

}  // namespace

WorkerChannel::WorkerChannel(int signalFd, std::function<void(const std::string&)> command,
                             std::function<void()> reloadKeys)
    : signalFd_(signalFd), command_(std::move(command)), reloadKeys_(std::move(reloadKeys)) {}

bool WorkerChannel::takeKeys(const std::function<void(const KeyMaterial&)>& use) {
  bool taken = false;
  for (;;) {
    const ssize_t got =
        ::read(kWorkerKeyFd, incoming_.data() + incomingSize_, kKeyRecordSize - incomingSize_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    incomingSize_ += static_cast<std::size_t>(got);
    if (incomingSize_ < kKeyRecordSize) continue;
    incomingSize_ = 0;
    KeyMaterial keys;
    if (decodeKeyRecord(incoming_, keys)) {
      use(keys);
      taken = true;
    }
    incoming_.wipe();
  }
  return taken;
}

void WorkerChannel::watchPort(int fd) {
  portFd_ = fd;
  portHungUp_ = false;
  portPollFault_.clear();
}

bool WorkerChannel::takeFreshInputs() {
  const bool fresh = inputsFresh_;
  inputsFresh_ = false;
  return fresh;
}

void WorkerChannel::awaitInputs(milliseconds timeout) {
  pollfd fds[3] = {{signalFd_, POLLIN, 0}, {kWorkerCommandFd, POLLIN, 0}, {portFd_, 0, 0}};
  const nfds_t count = portFd_ >= 0 ? 3 : 2;
  const int woken = ::poll(fds, count, static_cast<int>(timeout.count()));
  if (woken < 0) {
    if (errno != EINTR && portFd_ >= 0) portPollFault_ = strerror(errno);
    return;
  }
  if (fds[0].revents != 0) readSignals();
  if (fds[1].revents != 0) readCommands();
  if (count == 3 && (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) portHungUp_ = true;
  inputsFresh_ = true;
}

void WorkerChannel::waitUntil(SteadyClock::time_point until, const std::function<bool()>& wake) {
  while (!stopping_ && !portHungUp_ && !(wake && wake())) {
    signOfLife();
    const auto left = std::chrono::ceil<milliseconds>(until - SteadyClock::now());
    if (left.count() <= 0) return;
    awaitInputs(std::min(left, kSignOfLifeEvery));
  }
}

void WorkerChannel::send(const ReaderEvent& event) {
  sendLine(encodeReaderEvent(event) + "\n");
}

void WorkerChannel::signOfLife() {
  // The service reports the log medium for every process: it hears of each
  // change this worker's log sees.
  unsigned long lost = 0;
  const int why = rfidLogMediumState(&lost);
  if (why != logMedium_) {
    logMedium_ = why;
    sendLine(logMediumLine(why, lost) + "\n");
  }
  if (SteadyClock::now() - lastLine_ >= kSignOfLifeEvery) {
    sendLine(std::string(kSignOfLife) + "\n");
  }
}

void WorkerChannel::sendLine(const std::string& line) {
  lastLine_ = SteadyClock::now();
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t put = ::write(kWorkerEventFd, line.data() + written, line.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      // The service is gone: nobody to report to.
      stopping_ = true;
      return;
    }
    written += static_cast<std::size_t>(put);
  }
}

void WorkerChannel::readSignals() {
  signalfd_siginfo info{};
  while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGHUP) {
      reloadKeys_();
    } else {
      stopping_ = true;
    }
  }
}

void WorkerChannel::readCommands() {
  char chunk[256];
  for (;;) {
    const ssize_t got = ::read(kWorkerCommandFd, chunk, sizeof chunk);
    if (got == 0) {
      stopping_ = true;  // the service is gone
      return;
    }
    if (got < 0) return;
    commands_.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; (end = commands_.find('\n')) != std::string::npos;) {
      const std::string command = commands_.substr(0, end);
      commands_.erase(0, end + 1);
      command_(command);
    }
    if (commands_.size() > sizeof chunk) commands_.clear();  // no command is that long
  }
}

}  // namespace rfid_tokend
