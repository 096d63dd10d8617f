// The fleet key file, a TOML file of mode 0600:
//
//   system_id = "EVTOKEN-KEYS-V01"                      # optional, this default
//   key_a = "000102030405060708090A0B0C0D0E0F"
//   key_b = "101112131415161718191A1B1C1D1E1F"          # the provisioning bench only
//   [mac]
//   1 = "202122232425262728292A2B2C2D2E2F"
//   [desfire]                                           # optional: DESFire fleet cards
//   aid = "F54556"                                      # optional, this default
//   read_key = "404142434445464748494A4B4C4D4E4F"       # K_DR
//   master_key = "303132333435363738393A3B3C3D3E3F"     # K_DM, the provisioning bench only
//
// Loaded and checked here, in one place; the rest of a program gets the
// keys it needs from FleetKeys. A fault names the file and the key, never a
// key's value.
#ifndef RFID_CARDAUTH_FLEET_KEYS_H
#define RFID_CARDAUTH_FLEET_KEYS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rfid_cardauth/scheme.h"

namespace rfid_cardauth {

// The DESFire fleet's application (its AID, most significant byte first as
// written) and the two keys its per-card keys are derived from.
struct DesfireFleetKeys {
  std::uint32_t aid = 0xF54556;
  AesKey readKey;
  std::optional<AesKey> masterKey;
};

struct FleetKeys {
  std::string systemId = kDefaultSystemId;
  AesKey keyA;
  std::optional<AesKey> keyB;
  MacKeys macKeys;  // at least one
  std::optional<DesfireFleetKeys> desfire;
};

// The TOML name of the first key in `keys` that only the provisioning bench
// may hold ("key_b", "desfire.master_key"), or null: a charger refuses a
// file that holds one.
const char* benchOnlyKey(const FleetKeys& keys);

// Parses the file's text. On a fault, returns what is wrong, naming the TOML
// key ("key_a must be 32 hex digits") or the line and column of a syntax
// fault; `keys` is then unchanged.
std::optional<std::string> parseFleetKeys(std::string_view text, FleetKeys& keys);

// Reads and parses `path` with the secret file reader (rfid_secrets): a
// file that is not regular, that group or others may read or write, that
// belongs to neither this user nor root or that holds more than 64 KiB is
// refused. On a fault, returns a message that names the path and what to do.
// The text read is wiped once parsed.
std::optional<std::string> readFleetKeys(const std::string& path, FleetKeys& keys);

}  // namespace rfid_cardauth

#endif  // RFID_CARDAUTH_FLEET_KEYS_H
