// Test doubles that let the module run its real system calls: a reader on
// the far side of a pseudo-terminal whose replies each test scripts, a
// capture of the module's console and log-file output, and a TZ guard.
#ifndef RFID_TESTS_SCRIPTED_READER_H
#define RFID_TESTS_SCRIPTED_READER_H

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "rfid_internal.h"
#include "rfid_serial/unique_fd.h"

namespace rfid::testing {

using Bytes = std::vector<unsigned char>;

// Owns the master side of a pseudo-terminal and hands the module the serial
// (slave) side. While it lives, the module's exchange wait is replaced by
// serveOnce(): the request is read, the scripted reply written, and the wait
// returns as soon as the reply is readable on the serial side, so an
// exchange costs milliseconds instead of half a second. useRealWait() puts
// the fixed half-second sleep back; a test then runs serveOnce() on a thread.
class ScriptedReader {
 public:
  ScriptedReader();  // neither copied nor moved: the wait seam points at it
  ~ScriptedReader();

  // The descriptor the module gets as `Fd`: raw, 8N1, reads return at once.
  int fd() const { return serial_.get(); }

  // Scripts the reply to the next request (empty: no reply at all).
  void answer(Bytes reply) { script_.push_back(std::move(reply)); }
  // Bytes that arrive on the serial side now, before the next exchange.
  void sendStale(const Bytes& bytes);

  // Every request received so far, in order.
  const std::vector<Bytes>& requests() const { return requests_; }

  // Reads one request (waiting up to a second for it) and sends the next
  // scripted reply. Returns false when no request arrived.
  bool serveOnce();

  // Restores the module's real half-second wait for the rest of the test.
  void useRealWait() { exchangeWait = sleepExchangeWait; }

 private:
  void waitUntilReadable(std::size_t count) const;

  rfid_serial::UniqueFd master_;
  rfid_serial::UniqueFd serial_;
  ScopedExchangeWait wait_;
  ScriptedReader* outer_;  // the reader that served before this one
  std::deque<Bytes> script_;
  std::vector<Bytes> requests_;
};

// The current month's log file in `directory` (by local time), as the
// module names it.
std::string monthlyLogFile(const std::string& directory);

// Points the module's log at a fresh directory and captures standard output
// for its lifetime.
class LogCapture {
 public:
  LogCapture();  // neither copied nor moved, as its seam guard
  ~LogCapture();

  // Everything the module printed on standard output so far.
  std::string console();
  // The current month's log file, or "" when it does not exist.
  std::string file() const;
  std::string filePath() const { return monthlyLogFile(directory_); }
  const std::string& directory() const { return directory_; }

  // The lines logged so far (console), one per line, each without its time
  // stamp and a module message without its source and function: for
  // example "Error system command ABCD response fail.".
  std::string messages();

 private:
  std::string directory_;
  ScopedLogDirectory logDirectory_;
  int savedStdout_ = -1;
};

// Sets TZ (or unsets it, for null) for its lifetime; the suite's own TZ
// comes back. It never calls tzset(): noticing the change is the log's job.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : had_(std::getenv("TZ") != nullptr) {
    if (had_) saved_ = std::getenv("TZ");
    set(zone);
  }
  ~ScopedTimeZone() { set(had_ ? saved_.c_str() : nullptr); }
  static void set(const char* zone) { zone != nullptr ? setenv("TZ", zone, 1) : unsetenv("TZ"); }

 private:
  bool had_;
  std::string saved_;
};

}  // namespace rfid::testing

#endif  // RFID_TESTS_SCRIPTED_READER_H
