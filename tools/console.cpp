#include "console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>

namespace rfid_tools {

std::string jsonLine(const JsonObject& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Console::Console(bool jsonWanted, bool quiet) : jsonWanted_(jsonWanted) {
  if (quiet) {
    const int own = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (own >= 0 && null >= 0) {
      std::fflush(stdout);
      out_ = ::fdopen(own, "w");
      ::dup2(null, STDOUT_FILENO);
    }
    if (null >= 0) ::close(null);
    if (out_ == nullptr && own >= 0) ::close(own);
  }
  if (out_ == nullptr) out_ = stdout;
  progressIsTerminal_ = ::isatty(STDERR_FILENO) != 0;
}

Console::~Console() {
  if (out_ != stdout) std::fclose(out_);
}

void Console::say(const char* format, ...) {
  if (jsonWanted_) return;
  std::fflush(stdout);  // after the module's lines, not among them
  va_list args;
  va_start(args, format);
  std::vfprintf(out_, format, args);
  va_end(args);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void Console::progress(const std::string& text) {
  if (progressIsTerminal_) {
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
    progressShown_ = true;
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void Console::endProgress() {
  if (progressShown_) std::fputc('\n', stderr);
  progressShown_ = false;
}

void Console::warn(const std::string& message) {
  endProgress();
  std::fprintf(stderr, "rfidctl: warning: %s\n", message.c_str());
}

int Console::fail(int code, const std::string& message) {
  endProgress();
  std::fprintf(stderr, "rfidctl: %s\n", message.c_str());
  json["ok"] = false;
  json["error"] = message;
  return code;
}

int Console::finish(int code) {
  endProgress();
  if (jsonWanted_) {
    if (code == kExitOk) json["ok"] = true;
    std::fflush(stdout);
    std::fprintf(out_, "%s\n", jsonLine(json).c_str());
    std::fflush(out_);
  }
  return code;
}

}  // namespace rfid_tools
