// A move-only owner of one file descriptor, shared by the service, the
// simulated readers, the tools and the tests.
#ifndef RFID_SERIAL_UNIQUE_FD_H
#define RFID_SERIAL_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace rfid_serial {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // close() is not retried: on Linux the descriptor is released even when
  // close reports EINTR, and a retry could close a descriptor that another
  // thread has just been given.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace rfid_serial

#endif  // RFID_SERIAL_UNIQUE_FD_H
