#include "reader_double.h"

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/asan_interface.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rfid_internal.h"

extern "C" {
int __real_open64(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buffer, size_t size);
ssize_t __real_write(int fd, const void* buffer, size_t size);
int __real_tcflush(int fd, int queue);
size_t __real_fwrite(const void* data, size_t size, size_t count, FILE* stream);
}

namespace rfid::fuzz {
namespace {

bool capturing = false;
ReplyScript script;
Observed observed;
// Descriptors the module opened while capturing: its log file.
std::vector<int> logDescriptors;

bool isLogDescriptor(int fd) {
  return std::find(logDescriptors.begin(), logDescriptors.end(), fd) != logDescriptors.end();
}

void noWait() {}

char logDirectory[] = "/tmp/rfid-fuzz-log-XXXXXX";

// The monthly files the module created (empty: every entry was captured).
void removeLogDirectory() {
  const std::string directory = logDirectory;
  if (DIR* listing = opendir(logDirectory)) {
    while (const dirent* entry = readdir(listing)) {
      if (entry->d_name[0] != '.') unlink((directory + "/" + entry->d_name).c_str());
    }
    closedir(listing);
  }
  rmdir(logDirectory);
}

// One directory for the whole run: the module opens (and creates) its
// monthly file there, but every entry is captured before it reaches it.
void prepareModule() {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  if (mkdtemp(logDirectory) == nullptr) violation("cannot create the log directory");
  rfid::logDirectory = logDirectory;
  rfid::exchangeWait = noWait;
  std::atexit(removeLogDirectory);
}

}  // namespace

void beginOperation(const ReplyScript& reply) {
  prepareModule();
  script = reply;
  observed = Observed{};
  logDescriptors.clear();
  capturing = true;
}

const Observed& endOperation() {
  capturing = false;
  return observed;
}

void violation(const char* what) {
  std::fprintf(stderr, "PROPERTY VIOLATION: %s\n", what);
  std::abort();
}

}  // namespace rfid::fuzz

using rfid::fuzz::kReaderFd;

// The module is built with 64-bit file offsets, where open() is open64().
extern "C" int __wrap_open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  const int fd = __real_open64(path, flags, mode);
  if (rfid::fuzz::capturing && fd >= 0) rfid::fuzz::logDescriptors.push_back(fd);
  return fd;
}

extern "C" int __wrap_tcflush(int fd, int queue) {
  if (!rfid::fuzz::capturing) return __real_tcflush(fd, queue);
  if (fd != kReaderFd) {
    ++rfid::fuzz::observed.otherDescriptorCalls;
    return __real_tcflush(fd, queue);
  }
  ++rfid::fuzz::observed.flushes;
  return 0;
}

extern "C" ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
  if (!rfid::fuzz::capturing) return __real_write(fd, buffer, size);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  if (fd == kReaderFd) {
    ++rfid::fuzz::observed.readerWrites;
    rfid::fuzz::observed.request.assign(bytes, bytes + size);
    if (rfid::fuzz::script.writeFails) {
      errno = EIO;
      return -1;
    }
    return static_cast<ssize_t>(size);
  }
  if (!rfid::fuzz::isLogDescriptor(fd)) {
    ++rfid::fuzz::observed.otherDescriptorCalls;
    return __real_write(fd, buffer, size);
  }
  rfid::fuzz::observed.fileEntries.emplace_back(static_cast<const char*>(buffer), size);
  return static_cast<ssize_t>(size);
}

// Delivers the scripted reply and poisons the rest of the caller's receive
// area, so that any access past the bytes received is reported by the
// address sanitizer as a use-after-poison. The area is a local of the
// operation's frame, which the sanitizer's epilogue unpoisons on return.
extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t size) {
  if (!rfid::fuzz::capturing) return __real_read(fd, buffer, size);
  if (fd != kReaderFd) {
    ++rfid::fuzz::observed.otherDescriptorCalls;
    return __real_read(fd, buffer, size);
  }
  auto& observed = rfid::fuzz::observed;
  const auto& script = rfid::fuzz::script;
  ++observed.reads;
  observed.lastReadSize = size;
  const std::size_t delivered =
      script.count > 0 ? std::min({static_cast<std::size_t>(script.count), size}) : 0;
  std::memset(buffer, 0, delivered);
  const std::size_t given = std::min(delivered, script.bytes.size());
  if (given > 0) std::memcpy(buffer, script.bytes.data(), given);
  ASAN_POISON_MEMORY_REGION(static_cast<unsigned char*>(buffer) + delivered, size - delivered);
  if (script.count < 0) {
    errno = EIO;
    return -1;
  }
  return static_cast<ssize_t>(delivered);
}

extern "C" size_t __wrap_fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  if (stream != stdout || !rfid::fuzz::capturing) return __real_fwrite(data, size, count, stream);
  rfid::fuzz::observed.console.append(static_cast<const char*>(data), size * count);
  return count;
}
