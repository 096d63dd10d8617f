// The provisioning bench's side of the DESFire fleet scheme: reading what a
// card holds, writing a fleet card step by step (resumable after any step)
// and taking the application off again. Over any ISO 14443-4 exchange, as
// the charger's read in fleet.h.
#ifndef RFID_DESFIRE_PROVISION_H
#define RFID_DESFIRE_PROVISION_H

#include <optional>
#include <string>
#include <vector>

#include "rfid_desfire/fleet.h"

namespace rfid_desfire {

// What the bench holds: the chargers' keys and K_DM.
struct BenchKeys {
  ReaderKeys reader;
  AesKey masterKey;  // K_DM
};

// What a card tells without a key.
struct CardInfo {
  bool answered = false;     // GetVersion answered
  std::uint8_t version = 0;  // the major version: 12 EV2, 33 EV3, 01 EV1
  std::optional<std::uint8_t> piccKeySettings;
  // The applications, when the card lists them freely; empty otherwise.
  std::optional<std::vector<std::uint32_t>> applications;
};
CardInfo readCardInfo(const Transceive& transceive);

// What a card shows of one application for a card file: its key settings
// and number of keys (GetKeySettings, free where the application lists
// freely, else in a key's session), and for the fleet application read
// with the fleet's keys, which keys proved themselves and file 1's settings
// (GetFileSettings) and content (ReadData in its mode) in key 1's session.
struct FileRead {
  CommMode mode = CommMode::kPlain;
  std::uint16_t rights = 0;  // most significant first: read, write, read-write, change
  Bytes data;
};
struct ApplicationRead {
  bool present = false;  // SelectApplication answered 00
  bool lost = false;     // the card stopped answering: nothing else is known
  std::optional<std::uint8_t> keySettings;
  std::optional<std::uint8_t> keyCount;
  bool masterKeyProven = false;  // key 0 is the one derived from K_DM
  bool readKeyProven = false;    // key 1 is the one derived from K_DR
  std::optional<FileRead> tokenFile;
};
// An application read without keys.
ApplicationRead readApplication(std::uint32_t aid, const Transceive& transceive);
// The fleet application (keys.reader.aid) read with the fleet's keys:
// key 0 only when `withMasterKey` (keys.masterKey is K_DM). The card's
// keys are proven by authenticating with them, never read.
ApplicationRead readFleetApplication(const BenchKeys& keys, bool withMasterKey, const Bytes& serial,
                                     const Transceive& transceive, const RandomSource& random);

struct BenchResult {
  bool ok = false;
  // One line per step taken ("created application F54556", ...), and on a
  // failure the reason. No key or random number ever appears in them.
  std::vector<std::string> steps;
  std::string fault;
};

// The steps provisioning would take on a card in the state readCardInfo()
// and a probe of the application found, as text, without writing anything.
// `fault` is set when the card cannot be provisioned (a PICC that forbids
// free creation, an application under other keys).
BenchResult planProvisioning(const BenchKeys& keys, const Bytes& serial,
                             const Transceive& transceive, const RandomSource& random);

// Writes the fleet card: the application (a factory card needs no PICC
// key), authentication with the default key 0, key 1, file 1 created and
// written, key 0 last; then the card is read as a charger reads it. A card
// left half way by an earlier run is taken from where it stopped.
BenchResult provisionFleetCard(const BenchKeys& keys, const Bytes& serial, const TokenId& tokenId,
                               const Transceive& transceive, const RandomSource& random);

// Deletes the fleet application, after proving its master key (the card's
// PICC settings must let it be deleted without the PICC key).
BenchResult unprovisionFleetCard(const BenchKeys& keys, const Bytes& serial,
                                 const Transceive& transceive, const RandomSource& random);

}  // namespace rfid_desfire

#endif  // RFID_DESFIRE_PROVISION_H
