// The keys of a service run: the key file's sector keys and the fleet key
// file's keys. The main process reads the files, at start and at SIGHUP,
// each time all of them or none, and keeps the last good set. A worker gets
// that set from the main process over a pipe (kWorkerKeyFd) when it starts
// and again before each SIGHUP: a worker restarted after a reload that
// failed runs with the keys in force, never with a file it cannot use.
// Keys travel in a fixed-size record, never in an argument, the environment
// or a log line.
#ifndef RFID_TOKEND_KEY_MATERIAL_H
#define RFID_TOKEND_KEY_MATERIAL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "config.h"
#include "rfid_cardauth/fleet_keys.h"
#include "rfid_keys/key_file.h"

namespace rfid_tokend {

struct KeyMaterial {
  std::optional<rfid_keys::SectorKeys> sectorKeys;  // --keys
  std::optional<rfid_cardauth::FleetKeys> fleet;    // --fleet-keys
};

// Reads every key file `config` names. On a fault, returns it (naming the
// flag and the file, never a key) and leaves `keys` unchanged.
std::optional<std::string> readKeyMaterial(const Config& config, KeyMaterial& keys);

// Memory for secrets: whole pages, left out of core dumps (MADV_DONTDUMP)
// and wiped when released.
class SecretPages {
 public:
  explicit SecretPages(std::size_t size);
  ~SecretPages();
  SecretPages(const SecretPages&) = delete;
  SecretPages& operator=(const SecretPages&) = delete;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  void wipe();

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
};

// One set of keys as it crosses the pipe: which files are set; per sector
// a presence byte and key A; the system id's length and 16 bytes; K_A; per
// MAC key id 1 to 255 a presence byte and the key; the DESFire AID (3 bytes,
// most significant first) and K_DR.
constexpr int kMaxMacKeyId = 255;
constexpr std::size_t kKeyRecordSize =
    1 + rfid_keys::kSectorCount * (1 + rfid_keys::kKeySize) + 1 +
    rfid_cardauth::kMaxSystemIdLength + rfid_cardauth::kAesKeySize +
    kMaxMacKeyId * (1 + rfid_cardauth::kAesKeySize) + 3 + rfid_cardauth::kAesKeySize;

void encodeKeyRecord(const KeyMaterial& keys, SecretPages& record);
// False for a record that no encodeKeyRecord wrote.
bool decodeKeyRecord(const SecretPages& record, KeyMaterial& keys);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_KEY_MATERIAL_H
