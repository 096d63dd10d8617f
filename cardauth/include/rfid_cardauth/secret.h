// Key bytes that wipe themselves. Keys live in fixed arrays, never in a
// std::string (which copies itself around and frees without wiping), and
// every copy clears its bytes with OPENSSL_cleanse when it goes, which a
// compiler may not optimise away as it may a memset.
#ifndef RFID_CARDAUTH_SECRET_H
#define RFID_CARDAUTH_SECRET_H

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace rfid_cardauth {

template <std::size_t N>
class Secret {
 public:
  static constexpr std::size_t kSize = N;

  Secret() = default;
  explicit Secret(const std::array<std::uint8_t, N>& bytes) : bytes_(bytes) {}
  Secret(const Secret&) = default;
  Secret& operator=(const Secret&) = default;
  ~Secret() { OPENSSL_cleanse(bytes_.data(), N); }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  static constexpr std::size_t size() { return N; }

  // In constant time: how far two keys agree must not show in the time taken.
  bool operator==(const Secret& other) const {
    return CRYPTO_memcmp(bytes_.data(), other.bytes_.data(), N) == 0;
  }
  bool operator!=(const Secret& other) const { return !(*this == other); }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

constexpr std::size_t kAesKeySize = 16;
constexpr std::size_t kSectorKeySize = 6;
using AesKey = Secret<kAesKeySize>;
using SectorKey = Secret<kSectorKeySize>;

// For a program that loads fleet or sector keys, first thing: no core file
// (RLIMIT_CORE 0, and not dumpable, which also keeps other processes of the
// same user from reading its memory through ptrace or /proc). A crash then
// leaves no copy of a key on disk.
void keepKeysOutOfCoreDumps();

}  // namespace rfid_cardauth

#endif  // RFID_CARDAUTH_SECRET_H
