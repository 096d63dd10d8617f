#include "rfid_secrets/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "rfid_serial/unique_fd.h"

namespace rfid_secrets {

void wipe(void* bytes, std::size_t size) {
  volatile unsigned char* at = static_cast<volatile unsigned char*>(bytes);
  while (size-- > 0) *at++ = 0;
}

SecretBuffer::SecretBuffer(std::size_t capacity)
    : bytes_(new char[capacity + 1]()), capacity_(capacity) {}

SecretBuffer::~SecretBuffer() {
  if (bytes_) wipe(bytes_.get(), capacity_ + 1);
}

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    if (bytes_) wipe(bytes_.get(), capacity_ + 1);
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void SecretBuffer::commit(std::size_t size) {
  size_ = std::min(size, capacity_);
  if (bytes_) bytes_[size_] = '\0';
}

void SecretBuffer::truncate(std::size_t size) {
  if (size >= size_) return;
  wipe(bytes_.get() + size, size_ - size);
  size_ = size;
}

void SecretBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_ && bytes_) return;
  SecretBuffer larger(capacity);
  if (size_ > 0) std::memcpy(larger.bytes_.get(), bytes_.get(), size_);
  larger.commit(size_);
  *this = std::move(larger);
}

std::string SecretFileFault::ruleText() const {
  switch (rule) {
    case Rule::kOpen:
    case Rule::kRead:
      return std::string("cannot be read (") + std::strerror(errorNumber) + ")";
    case Rule::kRegularFile:
      return "not a regular file";
    case Rule::kPrivateMode:
      return "group or others may read it; make it private (chmod 600)";
    case Rule::kOwner:
      return "owned by user " + std::to_string(owner) + ", neither this process's user nor root";
    case Rule::kSize:
      return std::to_string(size) + " bytes, more than the " + std::to_string(maxSize) +
             " it may hold";
  }
  return "refused";
}

std::string SecretFileFault::describe(const std::string& what) const {
  const std::string subject = what + " " + path;
  switch (rule) {
    case Rule::kOpen:
    case Rule::kRead:
      return "cannot read " + subject + ": " + std::strerror(errorNumber);
    case Rule::kRegularFile:
      return subject + " is not a regular file";
    case Rule::kPrivateMode:
      return subject + " may be read by group or others; chmod 600 " + path;
    case Rule::kOwner:
      return subject + " is " + ruleText() + "; chown it to the user that reads it";
    case Rule::kSize:
      return subject + " holds " + ruleText();
  }
  return subject + " is refused";
}

namespace {

SecretFileFault faultOf(SecretFileFault::Rule rule, const std::string& path) {
  SecretFileFault fault;
  fault.rule = rule;
  fault.path = path;
  fault.errorNumber = errno;
  return fault;
}

}  // namespace

std::optional<SecretFileFault> readSecretFile(const std::string& path, SecretBuffer& content,
                                              const FileRules& rules) {
  using Rule = SecretFileFault::Rule;
  content = SecretBuffer();
  const rfid_serial::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) return faultOf(Rule::kOpen, path);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return faultOf(Rule::kRead, path);
  if (!S_ISREG(info.st_mode)) return faultOf(Rule::kRegularFile, path);
  if (rules.privateMode && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return faultOf(Rule::kPrivateMode, path);
  }
  if (rules.ownedByReader && info.st_uid != ::geteuid() && info.st_uid != 0) {
    SecretFileFault fault = faultOf(Rule::kOwner, path);
    fault.owner = info.st_uid;
    return fault;
  }
  const auto tooLarge = [&](std::uint64_t size) {
    SecretFileFault fault = faultOf(Rule::kSize, path);
    fault.size = size;
    fault.maxSize = rules.maxSize;
    return fault;
  };
  const auto statSize = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));
  if (statSize > rules.maxSize) return tooLarge(statSize);
  // One byte more than the file said it held, so that a file that grows
  // while it is read is seen growing; it may grow up to the cap.
  SecretBuffer read(static_cast<std::size_t>(statSize) + 1);
  std::size_t have = 0;
  for (;;) {
    if (have == read.capacity()) {
      if (have > rules.maxSize) return tooLarge(have);
      read.commit(have);
      read.reserve(std::min(rules.maxSize + 1, 2 * have));
    }
    const ssize_t count = ::read(file.get(), read.room() + have, read.capacity() - have);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return faultOf(Rule::kRead, path);
    if (count == 0) break;
    have += static_cast<std::size_t>(count);
  }
  read.commit(have);
  content = std::move(read);
  return std::nullopt;
}

}  // namespace rfid_secrets
