// The fleet key file, a TOML file of mode 0600:
//
//   system_id = "EVTOKEN-KEYS-V01"                      # optional, this default
//   key_a = "000102030405060708090A0B0C0D0E0F"
//   key_b = "101112131415161718191A1B1C1D1E1F"          # the provisioning bench only
//   [mac]
//   1 = "202122232425262728292A2B2C2D2E2F"
//
// Loaded and checked here, in one place; the rest of a program gets the
// keys it needs from FleetKeys. A fault names the file and the key, never a
// key's value.
#ifndef RFID_CARDAUTH_FLEET_KEYS_H
#define RFID_CARDAUTH_FLEET_KEYS_H

#include <optional>
#include <string>

#include "rfid_cardauth/scheme.h"

namespace rfid_cardauth {

struct FleetKeys {
  std::string systemId = kDefaultSystemId;
  AesKey keyA;
  std::optional<AesKey> keyB;
  MacKeys macKeys;  // at least one
};

// Parses the file's text. On a fault, returns what is wrong, naming the TOML
// key ("key_a must be 32 hex digits") or the line and column of a syntax
// fault; `keys` is then unchanged.
std::optional<std::string> parseFleetKeys(const std::string& text, FleetKeys& keys);

// Reads and parses `path`. A file that is not regular, that group or others
// may read or write, or that belongs to neither this user nor root is
// refused. On a fault, returns a message that names the path and what to do.
// The text read is wiped once parsed.
std::optional<std::string> readFleetKeys(const std::string& path, FleetKeys& keys);

}  // namespace rfid_cardauth

#endif  // RFID_CARDAUTH_FLEET_KEYS_H
