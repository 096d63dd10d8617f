// DESFire EV2 secure messaging: the AES authentications (AuthenticateEV2First
// and NonFirst, for either side), the session keys, the command counter and
// the protection of commands and replies in the three communication modes.
// Pure functions and small value objects over OpenSSL 3's libcrypto: bytes
// in, bytes out, no I/O. The host's card read and the simulated card both
// build on them.
//
// Secrets (keys, session keys, RndA, RndB) live in Secret<> arrays that wipe
// themselves; none of them is ever formatted into a message.
#ifndef RFID_DESFIRE_SECURE_MESSAGING_H
#define RFID_DESFIRE_SECURE_MESSAGING_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "rfid_cardauth/secret.h"

namespace rfid_desfire {

using Bytes = std::vector<std::uint8_t>;
using rfid_cardauth::AesKey;
constexpr std::size_t kAesBlock = 16;
constexpr std::size_t kRandomSize = 16;
constexpr std::size_t kTiSize = 4;
constexpr std::size_t kMacSize = 8;
constexpr std::size_t kCapabilitySize = 6;
using Random = rfid_cardauth::Secret<kRandomSize>;
using Ti = std::array<std::uint8_t, kTiSize>;
using Mac = std::array<std::uint8_t, kMacSize>;

// The command codes (INS of the wrapped command). Unscoped, so that a code
// stands wherever a command byte does.
namespace cmd {
enum Code : std::uint8_t {
  kAuthenticateFirst = 0x71,
  kAuthenticateNonFirst = 0x77,
  kMore = 0xAF,
  kSelectApplication = 0x5A,
  kGetVersion = 0x60,
  kCreateApplication = 0xCA,
  kDeleteApplication = 0xDA,
  kGetApplicationIds = 0x6A,
  kCreateStdDataFile = 0xCD,
  kReadData = 0xAD,
  kWriteData = 0x8D,
  kGetCardUid = 0x51,
  kGetKeySettings = 0x45,
  kGetFileSettings = 0xF5,
  kChangeKey = 0xC4,
  kFormatPicc = 0xFC,
};
}  // namespace cmd
// The card's status codes (the byte after 91 in a reply).
namespace status {
enum Code : std::uint8_t {
  kOk = 0x00,
  kMore = 0xAF,
  kIllegalCommand = 0x1C,
  kIntegrityError = 0x1E,
  kNoSuchKey = 0x40,
  kLengthError = 0x7E,
  kPermissionDenied = 0x9D,
  kApplicationNotFound = 0xA0,
  kAuthenticationError = 0xAE,
  kBoundaryError = 0xBE,
  kDuplicate = 0xDE,
  kFileNotFound = 0xF0,
};
}  // namespace status
// The bits of a key settings byte, the card's and an application's alike.
namespace key_settings {
enum Bit : std::uint8_t {
  kMasterKeyChangeable = 0x01,
  kFreeListing = 0x02,       // listing (applications, files, keys) without the master key
  kFreeCreateDelete = 0x04,  // creating and deleting (applications, files) without it
  kConfigurationChangeable = 0x08,
};
}  // namespace key_settings

enum class CommMode : std::uint8_t { kPlain = 0x00, kMac = 0x01, kFull = 0x03 };

// ---- ISO 7816 wrapping ------------------------------------------------------

// 90 INS 00 00 Lc data 00; without data 90 INS 00 00 00. Empty for more than
// 255 data bytes.
Bytes wrap(std::uint8_t command, const Bytes& data);
// A card reply: its data and the status in 91 xx. Empty for a reply shorter
// than two bytes or whose next-to-last byte is not 91.
struct CardReply {
  std::uint8_t status = 0;
  Bytes data;
};
std::optional<CardReply> unwrap(const std::uint8_t* reply, std::size_t size);
// The card side: the command byte and data of a wrapped command, empty for
// one that is not 90 INS 00 00 [Lc data] 00.
struct CardCommand {
  std::uint8_t command = 0;
  Bytes data;
};
std::optional<CardCommand> unwrapCommand(const std::uint8_t* apdu, std::size_t size);
// 91 status after `data`.
Bytes wrapReply(std::uint8_t cardStatus, const Bytes& data = {});

// ---- Primitives -------------------------------------------------------------

// AES-128 CBC over whole blocks, no padding. False for a size that is not a
// multiple of 16 or a libcrypto failure.
bool cbcEncrypt(const AesKey& key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t size,
                std::uint8_t* out);
bool cbcDecrypt(const AesKey& key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t size,
                std::uint8_t* out);
// The 8 bytes at odd positions of the 16-byte CMAC.
bool truncatedMac(const AesKey& key, const std::uint8_t* message, std::size_t size, Mac& out);
// CRC-32 (reflected, 0xEDB88320, start 0xFFFFFFFF) without the final XOR.
std::uint32_t crc32nk(const std::uint8_t* data, std::size_t size);
// Rotate left (right) by one byte.
Random rotateLeft(const Random& value);
Random rotateRight(const Random& value);

struct SessionKeys {
  AesKey enc;
  AesKey mac;
};
// ENC = CMAC(K, SV1), MAC = CMAC(K, SV2) from the two random numbers.
bool deriveSessionKeys(const AesKey& key, const Random& rndA, const Random& rndB, SessionKeys& out);
// SV1 (prefix A5 5A) or SV2 (5A A5); exposed for the table test.
std::array<std::uint8_t, 32> sessionVector(bool forMac, const Random& rndA, const Random& rndB);

// ---- The session ------------------------------------------------------------

// One authenticated session, on either side: key number, TI, command counter
// and session keys. Any fault a method reports has already dropped the
// session (wiping its keys): nothing is used from a reply or command that
// failed its MAC or padding check.
class Session {
 public:
  bool active() const { return active_; }
  std::uint8_t keyNo() const { return keyNo_; }
  const Ti& ti() const { return ti_; }
  std::uint16_t counter() const { return counter_; }
  const SessionKeys& keys() const { return keys_; }

  // After AuthenticateEV2First: counter 0.
  void start(std::uint8_t keyNo, const Ti& ti, const SessionKeys& keys);
  // After AuthenticateEV2NonFirst: TI and counter stay.
  void resume(std::uint8_t keyNo, const SessionKeys& keys);
  void drop();

  // The IV of Full mode: E_ECB(ENC, A5 5A | TI | CmdCtr | 0*8) for a
  // command, 5A A5 and CmdCtr + 1 for its reply.
  bool commandIv(std::array<std::uint8_t, kAesBlock>& iv) const;
  bool replyIv(std::array<std::uint8_t, kAesBlock>& iv) const;

  // Host side. The data field of the command `command` with `header` (never
  // encrypted) and `data` in `mode`: Plain header | data; MAC header | data
  // | MAC; Full header | E(data | 80 00..) | MAC. Empty (session dropped)
  // without a session for MAC or Full, or on a libcrypto failure.
  std::optional<Bytes> protectCommand(std::uint8_t command, const Bytes& header, const Bytes& data,
                                      CommMode mode);
  // The reply's data in `mode`, after the reply MAC (MAC and Full) and the
  // padding (Full) were checked; advances the counter. A status other than
  // 00 ends the session, as on the card. `expectedLength`, where given, is
  // the length the plain data must have. Empty, the session dropped, on any
  // fault.
  std::optional<Bytes> openReply(std::uint8_t cardStatus, const Bytes& reply, CommMode mode,
                                 std::optional<std::size_t> expectedLength = std::nullopt);

  // Card side, the mirror of the two: checks the command's MAC and opens its
  // data (after `headerLength` plain bytes); builds the reply and advances
  // the counter.
  std::optional<Bytes> openCommand(std::uint8_t command, const Bytes& field,
                                   std::size_t headerLength, CommMode mode);
  std::optional<Bytes> protectReply(std::uint8_t cardStatus, const Bytes& data, CommMode mode);

 private:
  bool mac(const Bytes& input, Mac& out) const;
  bool iv(bool forReply, std::array<std::uint8_t, kAesBlock>& out) const;
  Bytes macInput(std::uint8_t first, std::uint16_t counter, const Bytes& rest) const;

  bool active_ = false;
  std::uint8_t keyNo_ = 0;
  Ti ti_{};
  std::uint16_t counter_ = 0;
  SessionKeys keys_;
};

// ---- Authentication ---------------------------------------------------------

// The host's side of AuthenticateEV2First (`first`) or NonFirst. Wrapped
// APDUs out, card replies in (as unwrap() gives them).
class HostAuthentication {
 public:
  HostAuthentication(bool first, std::uint8_t keyNo, const AesKey& key, const Random& rndA);
  // 71 KeyNo 00 (First, LenCap 0) or 77 KeyNo.
  Bytes firstCommand() const;
  // From E(K, RndB) (status AF): AF E(K, RndA | rotl(RndB)). Empty for a
  // reply of another status or length.
  std::optional<Bytes> secondCommand(const CardReply& reply);
  // From the card's last answer (status 00): checks rotl(RndA) and starts
  // (First) or resumes (NonFirst) `session`. False, the session dropped,
  // when the card did not prove the key.
  bool finish(const CardReply& reply, Session& session);

 private:
  bool first_;
  std::uint8_t keyNo_;
  AesKey key_;
  Random rndA_;
  Random rndB_;
  bool haveRndB_ = false;
};

// The card's side: the key is known once the first command named it.
class CardAuthentication {
 public:
  CardAuthentication(bool first, std::uint8_t keyNo, const AesKey& key, const Random& rndB);
  // E(K, RndB), to be sent with status AF.
  std::optional<Bytes> challenge() const;
  // From the host's AF data: checks rotl(RndB); on success starts or
  // resumes `session` and returns the answer to send with status 00. Empty
  // (authentication error, the session dropped) otherwise.
  std::optional<Bytes> answer(const Bytes& hostData, const Ti& ti, Session& session);

 private:
  bool first_;
  std::uint8_t keyNo_;
  AesKey key_;
  Random rndB_;
};

// ---- ChangeKey ----------------------------------------------------------------

// The plain data of ChangeKey: (New ^ Old) | version | CRC32NK(New) for
// another key than the authenticated one, New | version for that key.
// Wiped by the caller (a Secret of 21 bytes and its used length).
struct ChangeKeyData {
  rfid_cardauth::Secret<21> bytes;
  std::size_t size = 0;
};
ChangeKeyData changeKeyData(bool authenticatedKey, const AesKey& newKey, const AesKey& oldKey,
                            std::uint8_t version);

}  // namespace rfid_desfire

#endif  // RFID_DESFIRE_SECURE_MESSAGING_H
