// A worker's line to the service and to the OS: events out on
// kWorkerEventFd (with the sign of life and the log medium's changes),
// commands in on kWorkerCommandFd, key records on kWorkerKeyFd, and the
// signals, read from a signalfd between module calls. Its one wait wakes
// for a signal, a command or a hang-up of the watched port.
#ifndef RFID_TOKEND_WORKER_CHANNEL_H
#define RFID_TOKEND_WORKER_CHANNEL_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "debouncer.h"
#include "key_material.h"
#include "payloads.h"

namespace rfid_tokend {

class WorkerChannel {
 public:
  // `command` gets each command line; `reloadKeys` is called at SIGHUP.
  WorkerChannel(int signalFd, std::function<void(const std::string&)> command,
                std::function<void()> reloadKeys);

  // A stop is pending: SIGTERM or SIGINT came, or the service is gone.
  bool stopping() const { return stopping_; }

  void send(const ReaderEvent& event);
  // Tells the service of a change of the log medium, and that the worker is
  // alive when it has sent nothing for a while (see kSignOfLife).
  void signOfLife();

  // Hands each key record the service has sent to `use`; false when none
  // came whole.
  bool takeKeys(const std::function<void(const KeyMaterial&)>& use);

  // The open port the waits watch for a hang-up, or -1 for none. Watching
  // another clears what was seen of the one before.
  void watchPort(int fd);
  bool portHungUp() const { return portHungUp_; }
  // Why the watched port cannot be polled; empty when it can.
  const std::string& portPollFault() const { return portPollFault_; }

  // Looks at the inputs without waiting.
  void checkInputs() { awaitInputs(std::chrono::milliseconds(0)); }
  // The inputs were looked at by a wait, and no module call went out since
  // (see takeFreshInputs).
  void markInputsFresh() { inputsFresh_ = true; }
  // Whether they were, clearing it: a module call goes out next.
  bool takeFreshInputs();

  // Waits until `until`, showing that the worker is alive meanwhile; returns
  // early at a stop, a hang-up of the watched port or once `wake()` holds.
  void waitUntil(SteadyClock::time_point until, const std::function<bool()>& wake);

 private:
  // One wait of up to `timeout` for a signal, a command or a hang-up of the
  // port, all in one poll; reads only what is there.
  void awaitInputs(std::chrono::milliseconds timeout);
  void sendLine(const std::string& line);
  void readSignals();
  void readCommands();

  int signalFd_;
  std::function<void(const std::string&)> command_;
  std::function<void()> reloadKeys_;
  bool stopping_ = false;
  int portFd_ = -1;
  bool portHungUp_ = false;  // seen by the last wait
  std::string portPollFault_;
  bool inputsFresh_ = false;
  std::string commands_;
  SteadyClock::time_point lastLine_{};    // of the lines to the service
  int logMedium_ = 0;                     // rfidLogMediumState() as last reported
  SecretPages incoming_{kKeyRecordSize};  // a key record as it arrives
  std::size_t incomingSize_ = 0;
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_WORKER_CHANNEL_H
