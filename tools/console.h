// Where rfidctl's words go: lines for a person on standard output, progress
// and failures on the error stream, and with --json one object on the last
// line of standard output.
#ifndef RFID_TOOLS_CONSOLE_H
#define RFID_TOOLS_CONSOLE_H

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "rfid_host/exit_code.h"

namespace rfid_tools {

// rfidctl's exit codes: a refusal by the reader or the card (or no card)
// is kExitFailed.
using rfid_host::kExitFailed;
using rfid_host::kExitOk;
using rfid_host::kExitUsage;

// Keys keep the order they were added in, so the object reads like the run.
using JsonObject = nlohmann::ordered_json;

// The object as one line. Text that is not UTF-8 (a path, an argument)
// has its bad bytes replaced rather than failing the output.
std::string jsonLine(const JsonObject& object);

class Console {
 public:
  // The module prints its log lines on standard output; `quiet` sends those
  // to /dev/null and keeps the console's own lines.
  Console(bool jsonWanted, bool quiet);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // A line for a person; --json keeps standard output for the object.
  // NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked by the format attribute
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Progress of long work, on the error stream: one updated line on a
  // terminal, a line per step elsewhere.
  void progress(const std::string& text);
  void endProgress();
  // A warning: one line on the error stream; the command goes on.
  void warn(const std::string& message);
  // A failure: one line on the error stream that says what to do; returns
  // `code`.
  int fail(int code, const std::string& message);
  // Ends the run: the JSON object, when asked for, then `code` to exit with.
  int finish(int code);

  JsonObject json = JsonObject::object();

 private:
  bool jsonWanted_;
  FILE* out_ = nullptr;
  bool progressIsTerminal_ = false;
  bool progressShown_ = false;
};

}  // namespace rfid_tools

#endif  // RFID_TOOLS_CONSOLE_H
