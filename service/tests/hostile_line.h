// A reader line that misbehaves, for the end-to-end tests: a pseudo-terminal
// that the service opens as its port, relaying every request to a simulated
// reader and its replies back, or answering nothing, or sending each reply
// twice, or with bytes of an earlier reply inserted.
#ifndef RFID_TOKEND_TESTS_HOSTILE_LINE_H
#define RFID_TOKEND_TESTS_HOSTILE_LINE_H

#include <atomic>
#include <string>
#include <thread>

#include "rfid_serial/unique_fd.h"
#include "rfid_sim/simulator.h"

namespace rfid_tokend_test {

class HostileLine {
 public:
  enum class Mode {
    kRelay,    // the reader's replies as they come
    kSilent,   // requests are taken, nothing is answered
    kTwice,    // each reply, then again 25 to 100 ms later
    kSpliced,  // every third reply with 1 to 4 bytes of the one before inserted
  };
  explicit HostileLine(rfid_sim::Simulator& reader);
  ~HostileLine();
  HostileLine(const HostileLine&) = delete;
  HostileLine& operator=(const HostileLine&) = delete;

  const std::string& portPath() const { return portPath_; }
  void setMode(Mode mode) { mode_ = mode; }
  // Replies that were doubled or spliced so far.
  int tampered() const { return tampered_; }

 private:
  void run();
  rfid_serial::UniqueFd master_;
  rfid_serial::UniqueFd keepOpen_;
  rfid_serial::UniqueFd reader_;
  std::string portPath_;
  std::atomic<Mode> mode_{Mode::kRelay};
  std::atomic<int> tampered_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace rfid_tokend_test

#endif  // RFID_TOKEND_TESTS_HOSTILE_LINE_H
