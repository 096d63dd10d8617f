// The DESFire fleet scheme: one application (AID F54556 by default) with two
// AES keys diversified per card with AN10922 from the card's 7-byte serial
// number, and file 1 holding the token id; and the charger's read of such a
// card over any ISO 14443-4 exchange.
//
// - key 0, the application master key: AN10922(K_DM, UID | AID as sent |
//   0x00 | system id); key 1, the read key: the same with K_DR and 0x01.
//   Key version 1 for both. Application key settings 0x09.
// - File 1: a standard data file of 32 bytes, CommMode Full, read with key
//   1, write, read-write and change with key 0 (access rights 00 10 as
//   sent). Byte 0 the layout version 01, bytes 1 to 6 the token id, bytes 7
//   to 31 zero.
// Chargers hold K_DR and the system id; only the provisioning bench holds
// K_DM.
#ifndef RFID_DESFIRE_FLEET_H
#define RFID_DESFIRE_FLEET_H

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "rfid_cardauth/scheme.h"
#include "rfid_desfire/secure_messaging.h"

namespace rfid_desfire {

constexpr std::uint32_t kDefaultAid = 0xF54556;
constexpr std::uint8_t kMasterKeyNo = 0;
constexpr std::uint8_t kReadKeyNo = 1;
constexpr std::uint8_t kApplicationKeyCount = kReadKeyNo + 1;  // keys 0 and 1
constexpr std::uint8_t kFleetKeyVersion = 1;
// 09: key 0 and the configuration may change; listing, creating and
// deleting files need key 0, as does ChangeKey.
constexpr std::uint8_t kApplicationKeySettings =
    key_settings::kMasterKeyChangeable | key_settings::kConfigurationChangeable;
constexpr std::uint8_t kTokenFileNo = 1;
constexpr std::size_t kTokenFileSize = 32;
constexpr std::uint8_t kTokenLayoutVersion = 0x01;
// The key numbers of read, write, read-write and change, a nibble each from
// the top (0x1000), sent LSB first as 00 10.
constexpr std::uint16_t kTokenFileAccess =
    kReadKeyNo << 12 | kMasterKeyNo << 8 | kMasterKeyNo << 4 | kMasterKeyNo;
constexpr std::array<std::uint8_t, 2> kTokenFileRights = {
    static_cast<std::uint8_t>(kTokenFileAccess & 0xFF),
    static_cast<std::uint8_t>(kTokenFileAccess >> 8)};
static_assert(kApplicationKeySettings == 0x09 && kTokenFileAccess == 0x1000,
              "the layout the fleet's cards carry");
constexpr std::size_t kSerialSize = 7;
constexpr std::uint8_t kSakIso14443_4 = 0x20;
constexpr std::uint8_t kRandomIdFirstByte = 0x08;

using rfid_cardauth::TokenId;
using Aid = std::array<std::uint8_t, 3>;
using TokenFile = std::array<std::uint8_t, kTokenFileSize>;

// The AID as sent: least significant byte first.
Aid aidBytes(std::uint32_t aid);
// A valid application id: 1 to FFFFFF (0 is the card level).
constexpr bool isValidAid(std::uint32_t aid) {
  return aid > 0 && aid <= 0xFFFFFF;
}

// Key `keyNo` (0 or 1) of the application on the card with `serial` (7
// bytes). Empty for another key number or serial length, an invalid AID or
// system id.
std::optional<AesKey> applicationKey(const AesKey& fleetKey, std::uint8_t keyNo,
                                     const Bytes& serial, std::uint32_t aid,
                                     const std::string& systemId);

TokenFile tokenFile(const TokenId& tokenId);

// Why a charger refuses a card, or kValid.
enum class ReadVerdict {
  kValid,
  kNotDesfire,  // SAK without 0x20, or not a 7-byte serial number
  kRandomId,    // a 4-byte serial number starting 08
  kNoApp,       // SelectApplication answered A0
  kVersion,     // AuthenticateEV2First answered 1C: an EV1 card
  kAuth,        // the authentication failed, or the card's RndA was wrong
  kMac,         // the reply MAC or the padding was wrong
  kLayout,      // layout byte other than 01, or no such file
  kLost,        // the card or reader went away mid-read: no verdict
};
// "valid", "not-desfire", "random-id", "no-app", "version", "auth", "mac",
// "layout", "lost", as events and --json name them.
const char* readVerdictName(ReadVerdict verdict);

struct FleetRead {
  ReadVerdict verdict = ReadVerdict::kLost;
  TokenId tokenId{};  // proven by kValid alone
};

// One ISO 14443-4 exchange with the selected card: a wrapped APDU out, the
// card's reply (at most 251 bytes) back; empty when the reader or the card
// did not answer.
using Transceive = std::function<std::optional<Bytes>(const Bytes& apdu)>;
// Fills a fresh random number; false when none can be had.
using RandomSource = std::function<bool(Random&)>;
// OpenSSL's RAND_bytes.
bool systemRandom(Random& out);

// What a charger holds.
struct ReaderKeys {
  std::uint32_t aid = kDefaultAid;
  AesKey readKey;  // K_DR
  std::string systemId = rfid_cardauth::kDefaultSystemId;
};

// The charger's read of the card that the tag search found (`serial`) with
// the SAK that GetSAK gave (empty: GetSAK skipped, and a refused first
// exchange means the card does not take ISO 14443-4 commands): select the
// application, AuthenticateEV2First with key 1 derived from the serial
// number, ReadData of file 1 in Full mode with its reply MAC and padding
// checked before any byte is used. Nothing the card says reaches the
// result unless it passed every check.
FleetRead readFleetCard(const ReaderKeys& keys, const Bytes& serial,
                        std::optional<std::uint8_t> sak, const Transceive& transceive,
                        const RandomSource& random = systemRandom);

}  // namespace rfid_desfire

#endif  // RFID_DESFIRE_FLEET_H
