// Fleet cards on MIFARE Classic: per-card sector keys and a MAC'd token
// block. Pure functions: bytes in, keys and blocks out, no I/O, so a table
// test and a fuzzer call them with byte arrays.
//
// - Sector keys are diversified per card with NXP's AN10922 (AES-128): key A
//   of sector s is the first 6 bytes of AN10922(K_A, UID | s | 0x0A | system
//   id), key B the same with K_B and 0x0B. All 16 sectors get them.
// - Block 4 holds the token: byte 0 the layout version 0x01, byte 1 the MAC
//   key id (1 to 255), bytes 2 to 7 the token id, bytes 8 to 15 the first 8
//   bytes of AES-CMAC(K_mac[id], "EVTK" | len(UID) | UID | 0x04 | bytes 0 to
//   7). The MAC binds the token to the card's serial number and the block.
// - Every trailer has access bits 78 77 88 and user byte 69: data is read
//   with key A or B and written with key B only; the trailer is written with
//   key B only. A charger holds K_A and the MAC keys; only the provisioning
//   bench holds K_B.
#ifndef RFID_CARDAUTH_SCHEME_H
#define RFID_CARDAUTH_SCHEME_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Module_RFID_ext.h"
#include "rfid_cardauth/secret.h"

namespace rfid_cardauth {

constexpr std::size_t kBlockSize = RFID_BLOCK_SIZE;
constexpr std::size_t kTokenIdSize = 6;
constexpr std::size_t kMacSize = 8;
constexpr int kSectorCount = RFID_SECTOR_COUNT;
constexpr int kTokenBlock = 4;
constexpr int kTokenSector = 1;
constexpr std::uint8_t kLayoutVersion = 0x01;
// The longest AN10922 input M: the diversification data 0x01 | M is at most
// two AES blocks.
constexpr std::size_t kMaxDiversificationInput = 31;
constexpr std::size_t kMinSystemIdLength = 10;
constexpr std::size_t kMaxSystemIdLength = 16;
constexpr const char* kDefaultSystemId = "EVTOKEN-KEYS-V01";
// Trailer bytes 6 to 9 of a fleet card: access bits 78 77 88, user byte 69.
constexpr std::array<std::uint8_t, 4> kFleetAccess = {0x78, 0x77, 0x88, 0x69};

using Block = std::array<std::uint8_t, kBlockSize>;
using TokenId = std::array<std::uint8_t, kTokenIdSize>;
using Mac128 = std::array<std::uint8_t, 16>;
using Uid = std::vector<std::uint8_t>;
// The MAC keys a charger accepts, by key id.
using MacKeys = std::map<std::uint8_t, AesKey>;

enum class KeyKind : std::uint8_t { kA = 0x0A, kB = 0x0B };

// AES-CMAC (RFC 4493) of `size` bytes; false only when libcrypto fails.
bool cmac(const AesKey& key, const std::uint8_t* message, std::size_t size, Mac128& out);

// AN10922 AES-128 diversification of `master` with the input M (1 to 31
// bytes). False, with `out` untouched, for an input of another length or a
// libcrypto failure.
bool diversify(const AesKey& master, const std::uint8_t* input, std::size_t size, AesKey& out);

// 10 to 16 printable ASCII characters.
bool isValidSystemId(const std::string& systemId);
// The serial numbers of MIFARE Classic cards: 4 or 7 bytes.
bool isValidUid(const Uid& uid);

// Key A or B of `sector` of the card with `uid`; empty for a serial number,
// sector or system id out of range.
std::optional<SectorKey> sectorKey(const AesKey& master, KeyKind kind, const Uid& uid, int sector,
                                   const std::string& systemId);

// A trailer with these keys and the fleet access bits.
Block fleetTrailer(const SectorKey& keyA, const SectorKey& keyB);

// Block 4 for `tokenId` under MAC key `keyId` (1 to 255) on the card with
// `uid`; empty for key id 0 or a serial number of another length.
std::optional<Block> encodeTokenBlock(const AesKey& macKey, std::uint8_t keyId,
                                      const TokenId& tokenId, const Uid& uid);

// Why a token block is refused; kValid when it is not.
enum class Verdict { kValid, kLayout, kKeyId, kMac };
// "valid", "layout", "key-id" or "mac", as events and --json name them.
const char* verdictName(Verdict verdict);

struct Verification {
  Verdict verdict = Verdict::kLayout;
  // As the block states them; meaningful from kKeyId on, proven by kValid
  // alone.
  std::uint8_t keyId = 0;
  TokenId tokenId{};
};

// Checks block 4 of the card with `uid`: the layout version, a known key id,
// then the MAC, compared in constant time.
Verification verifyTokenBlock(const Block& block, const Uid& uid, const MacKeys& macKeys);

}  // namespace rfid_cardauth

#endif  // RFID_CARDAUTH_SCHEME_H
