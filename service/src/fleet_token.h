// Fleet tokens on the charger: a card's sector 1 key A derived from its
// serial number, block 4 read with it, the token block verified. The
// charger holds K_A and the MAC keys only; a fleet key file that holds K_B
// is refused, since a charger must never hold what rewrites cards.
#ifndef RFID_TOKEND_FLEET_TOKEN_H
#define RFID_TOKEND_FLEET_TOKEN_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "rfid_cardauth/fleet_keys.h"
#include "rfid_host/reader.h"

namespace rfid_tokend {

// Reads the charger's fleet key file; on a fault, returns a message naming
// the path and what to do, never a key's value.
std::optional<std::string> readChargerFleetKeys(const std::string& path,
                                                rfid_cardauth::FleetKeys& keys);

// The token id as the charging stack receives it: 12 upper-case hex
// digits, or its decimal value in 15 digits, zero-padded.
std::string fleetTokenText(const rfid_cardauth::TokenId& id, TokenFormat format);

// The reader's side of a fleet read, as the worker does it on its port.
class FleetCardReader {
 public:
  enum class Result { kDone, kRefused, kLost };
  virtual ~FleetCardReader() = default;
  // Logs in to the sector of `block` with key A from the module's key table,
  // where the reader needs a login.
  virtual Result login(int block) = 0;
  virtual Result read(int block, std::uint8_t* data) = 0;
};

// The worker's reader, whose blocks are read with key A. `ready` says
// whether a call may go out now (the port alive, no stop pending).
class PortFleetReader : public FleetCardReader {
 public:
  PortFleetReader(const rfid_host::Reader& reader, std::function<bool()> ready)
      : reader_(reader), ready_(std::move(ready)) {}
  Result login(int block) override;
  Result read(int block, std::uint8_t* data) override;

 private:
  // A refusal by a reader that went away during the exchange is no refusal.
  Result judge(bool done) const;

  const rfid_host::Reader& reader_;
  std::function<bool()> ready_;
};

struct FleetRead {
  // kLost: the port went away or a stop is pending; nothing is known.
  enum class Outcome { kToken, kRefused, kLost };
  Outcome outcome = Outcome::kLost;
  std::string reason;  // kRefused: "login", "layout", "key-id" or "mac"
  rfid_cardauth::TokenId tokenId{};
};

// Reads and checks the fleet token of the card with `serial`. The card's key
// A stands in row 1 of the module's key table for the read only; the row is
// put back after.
FleetRead readFleetToken(const rfid_cardauth::FleetKeys& keys,
                         const std::vector<std::uint8_t>& serial, FleetCardReader& reader);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_FLEET_TOKEN_H
