#include "line_sink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace rfid_tokend {
namespace {

// A descriptor of our own on what `fd` leads to, non-blocking. A pipe or
// terminal opened again through /proc is a new open file description, so
// O_NONBLOCK on it leaves the shell's or the service manager's alone.
int nonBlockingDescriptor(int fd, bool& socket) {
  struct stat info {};
  socket = ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
  // A socket takes MSG_DONTWAIT; a file never keeps a writer waiting (and
  // opened again it would lose its offset).
  const bool mayWait = S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode);
  if (socket || !mayWait) return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int reopened = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (reopened >= 0) return reopened;
  // No /proc: the shared description becomes non-blocking instead.
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy >= 0) ::fcntl(copy, F_SETFL, ::fcntl(copy, F_GETFL) | O_NONBLOCK);
  return copy;
}

}  // namespace

LineSink::LineSink(int fd, std::string name) : name_(std::move(name)) {
  fd_.reset(nonBlockingDescriptor(fd, socket_));
}

void LineSink::put(std::string_view line) {
  flush();
  if (!fd_.valid() || !queue_.empty()) {
    drop();
    return;
  }
  const std::size_t written = writeAll(line.data(), line.size());
  if (written == 0) {
    drop();
    return;
  }
  queue_.assign(line.substr(written));
  if (queue_.empty()) dropping_ = false;  // a line went out whole
}

void LineSink::flush() {
  if (!fd_.valid() || queue_.empty()) return;
  queue_.erase(0, writeAll(queue_.data(), queue_.size()));
  if (queue_.empty() && fd_.valid()) dropping_ = false;
}

void LineSink::drop() {
  dropping_ = true;
  ++dropped_;
}

std::size_t LineSink::writeAll(const char* data, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t put =
        socket_ ? ::send(fd_.get(), data + written, size - written, MSG_DONTWAIT | MSG_NOSIGNAL)
                : ::write(fd_.get(), data + written, size - written);
    if (put > 0) {
      written += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      // Nobody reads any more (EPIPE) or the stream broke: this line and
      // every one after it are lost.
      fd_.reset();
      queue_.clear();
      return 0;
    }
    break;
  }
  return written;
}

std::optional<std::string> LineSink::takeNotice() {
  if (dropping_ && !announced_) {
    announced_ = true;
    return name_ + " takes no more lines: dropping them until it does";
  }
  if (!dropping_ && dropped_ > 0) {
    const std::size_t dropped = dropped_;
    dropped_ = 0;
    announced_ = false;
    return name_ + " takes lines again; " + std::to_string(dropped) + " line(s) were dropped";
  }
  return std::nullopt;
}

}  // namespace rfid_tokend
