// Reading a file that holds secrets (sector key files, fleet key files, the
// MQTT password, the TLS client key), one way for every program:
//
// - opened without blocking and close-on-exec: the open of a FIFO for
//   reading waits for a writer, for ever if none comes;
// - checked on the open descriptor, so nothing can be swapped in between the
//   check and the read: a regular file, no permission for group or others
//   (mode 0600 or stricter), owned by the reading user (the effective uid)
//   or root (anyone else could replace the secrets), and no larger than the
//   caller's cap;
// - read into a SecretBuffer, which wipes its bytes when it goes.
//
// A fault names the file and the rule it breaks, never a byte of the file.
// Depends on the C++ and POSIX libraries only, so that the key file library,
// which does not link OpenSSL, can use it.
#ifndef RFID_SECRETS_SECRET_FILE_H
#define RFID_SECRETS_SECRET_FILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rfid_secrets {

// Overwrites `size` bytes with zeros through a volatile pointer, which the
// compiler may not drop as it may a memset of memory that is freed next.
void wipe(void* bytes, std::size_t size);

// Bytes that are wiped when they go: move-only, so no copy is left behind,
// and never reallocated under the caller. One NUL always follows the
// content, for APIs that want a C string.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  // `capacity` zeroed bytes of room, none of them content yet.
  explicit SecretBuffer(std::size_t capacity);
  ~SecretBuffer();
  SecretBuffer(SecretBuffer&& other) noexcept;
  SecretBuffer& operator=(SecretBuffer&& other) noexcept;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  const char* data() const { return bytes_ ? bytes_.get() : ""; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data(), size_}; }
  const char* c_str() const { return data(); }

  // Room for content, writable up to capacity(); commit(n) then makes the
  // first n bytes (n <= capacity()) the content.
  char* room() { return bytes_.get(); }
  void commit(std::size_t size);
  // Keeps the first `size` bytes (no more than there are) and wipes the rest.
  void truncate(std::size_t size);
  // Room for at least `capacity` bytes; the content moves to new memory and
  // the old memory is wiped.
  void reserve(std::size_t capacity);

 private:
  std::unique_ptr<char[]> bytes_;  // capacity_ + 1 bytes
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The rules a file must pass. Secrets keep the defaults; only a file that is
// not secret (a public key dictionary) may relax the mode and owner rules.
struct FileRules {
  std::size_t maxSize = 64 * 1024;
  bool privateMode = true;    // no permission bit for group or others
  bool ownedByReader = true;  // owner: the effective uid or root
};

struct SecretFileFault {
  enum class Rule {
    kOpen,         // the open failed (errorNumber)
    kRegularFile,  // a directory, FIFO, device or socket
    kPrivateMode,  // group or others have a permission bit
    kOwner,        // owned by another user (owner)
    kSize,         // larger than the cap (size, maxSize)
    kRead,         // a read failed (errorNumber)
  };
  Rule rule = Rule::kOpen;
  std::string path;
  int errorNumber = 0;
  std::uint64_t owner = 0;
  std::uint64_t size = 0;
  std::size_t maxSize = 0;

  // The rule alone, for a line that names the file itself:
  // "not a regular file", "owned by user 1000, neither this process's user
  // nor root", "70000 bytes, more than the 65536 it may hold", ...
  std::string ruleText() const;
  // One line naming the file as `what` ("key file") and its path:
  // "key file /etc/k is not a regular file", "cannot read key file /etc/k:
  // No such file or directory", "key file /etc/k may be read by group or
  // others; chmod 600 /etc/k", ...
  std::string describe(const std::string& what) const;
};

// Reads the whole file at `path` into `content` under `rules`. On a fault,
// `content` is left empty (and wiped).
std::optional<SecretFileFault> readSecretFile(const std::string& path, SecretBuffer& content,
                                              const FileRules& rules = FileRules{});

}  // namespace rfid_secrets

#endif  // RFID_SECRETS_SECRET_FILE_H
