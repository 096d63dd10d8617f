// Test doubles that let the module run its real system calls: a reader on
// the far side of a pseudo-terminal whose replies each test scripts, and a
// capture of the module's console and log-file output.
#ifndef RFID_TESTS_SCRIPTED_READER_H
#define RFID_TESTS_SCRIPTED_READER_H

#include <deque>
#include <string>
#include <vector>

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
  ScriptedReader();
  ~ScriptedReader();
  ScriptedReader(const ScriptedReader&) = delete;
  ScriptedReader& operator=(const ScriptedReader&) = delete;

  // The descriptor the module gets as `Fd`: raw, 8N1, reads return at once.
  int fd() const { return serialFd_; }

  // Scripts the reply to the next request; replies are used in order.
  void answer(Bytes reply);
  // The next request gets no reply at all.
  void stayQuiet();
  // Bytes that arrive on the serial side now, before the next exchange.
  void sendStale(const Bytes& bytes);

  // Every request received so far, in order.
  const std::vector<Bytes>& requests() const { return requests_; }
  // The latest request, or an empty vector when none was sent.
  Bytes lastRequest() const;

  // Reads one request (waiting up to a second for it) and sends the next
  // scripted reply. Returns false when no request arrived.
  bool serveOnce();

  // Restores the module's real half-second wait for the rest of the test.
  void useRealWait();

 private:
  static void waitHook();
  void waitUntilReadable(std::size_t count) const;

  int masterFd_ = -1;
  int serialFd_ = -1;
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
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything the module printed on standard output so far.
  std::string console();
  // The current month's log file, or "" when it does not exist.
  std::string file() const;
  // Path of the current month's log file (by local time).
  std::string filePath() const;
  const std::string& directory() const { return directory_; }

  // The messages logged so far (console), each without its time stamp and
  // with its source line number replaced by "N": for example
  // "[rfid_link.cpp:N][system_command][Error] system command ... fail.\n".
  std::vector<std::string> messages();

 private:
  std::string directory_;
  const char* savedDirectory_;
  int savedStdout_ = -1;
  std::string capturePath_;
};

}  // namespace rfid::testing

#endif  // RFID_TESTS_SCRIPTED_READER_H
