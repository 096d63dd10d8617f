// A simulated MIFARE DESFire EV3 card (or EV2, or EV1 by its version): the
// card level (PICC) and its applications with AES keys and standard data
// files in the three communication modes, behind ISO 7816-wrapped commands
// as the reader's ISO 14443-4 exchange carries them. EV2 secure messaging
// comes from rfid_desfire, the card's side of it. Its random numbers come
// from a seedable source, so a test sees the same bytes every run.
//
// What the model does not do: DES, 3DES and 3K3DES keys, value, record and
// backup files, transactions, the EV1 authentication (an EV1 card answers
// AuthenticateEV2First with 1C and offers nothing else secured), chained
// (AF) commands from the host beyond the authentication, and GetVersion in
// an authenticated session (it ends the session).
#ifndef RFID_SIM_DESFIRE_CARD_H
#define RFID_SIM_DESFIRE_CARD_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "rfid_desfire/secure_messaging.h"

namespace rfid_sim {

using rfid_desfire::AesKey;
using rfid_desfire::CommMode;
using DesfireBytes = std::vector<std::uint8_t>;

struct DesfireKey {
  AesKey key;
  std::uint8_t version = 0;
};

struct DesfireFile {
  CommMode mode = CommMode::kPlain;
  std::uint16_t rights = 0xEEEE;  // (Read<<12)|(Write<<8)|(ReadWrite<<4)|Change
  DesfireBytes data;              // its size is the file's size
};

struct DesfireApplication {
  std::uint8_t keySettings = 0x0F;
  std::vector<DesfireKey> keys;  // 1 to 14 AES keys
  std::map<std::uint8_t, DesfireFile> files;
};

// Major versions the model knows, as GetVersion's fourth byte.
constexpr std::uint8_t kDesfireEv1 = 0x01;
constexpr std::uint8_t kDesfireEv2 = 0x12;
constexpr std::uint8_t kDesfireEv3 = 0x33;

class DesfireCard {
 public:
  // A card as it leaves the factory: no applications, PICC key settings 0F
  // (free create, delete and listing), the default PICC key (AES, all zero,
  // version 0). `serial` is 7 bytes, or 4 starting 08 for a Random ID card.
  static DesfireCard factory(const DesfireBytes& serial, std::uint8_t majorVersion = kDesfireEv3,
                             std::uint64_t seed = 1);

  const DesfireBytes& serial() const { return serial_; }
  std::uint8_t majorVersion() const { return majorVersion_; }
  std::uint8_t piccKeySettings() const { return piccKeySettings_; }
  const DesfireKey& piccKey() const { return piccKey_; }
  const std::map<std::uint32_t, DesfireApplication>& applications() const { return apps_; }

  // Direct set-up, for fixtures and card files.
  void setPicc(std::uint8_t keySettings, const DesfireKey& key);
  void putApplication(std::uint32_t aid, const DesfireApplication& application);
  void seed(std::uint64_t seed) { rng_ = seed; }

  // The card (re-)enters the field or is selected anew: the card level is
  // selected, nothing is authenticated.
  void enterField();
  // One command APDU in, the card's reply out (always 91 xx at its end).
  DesfireBytes transceive(const DesfireBytes& apdu);
  // Counts changes to keys, applications and files, so an owner can tell
  // when to save.
  unsigned long changeCount() const { return changes_; }

  // Attack models. A replaying card answers with `replies` in turn,
  // whatever it is asked; a card with `flipReply` n flips the lowest bit of
  // the first byte of its n-th reply (1-based) since entering the field, as
  // a line that damages one bit in transit would.
  void replay(std::vector<DesfireBytes> replies);
  void flipReply(int n) { flipReply_ = n; }

 private:
  struct Command {
    std::uint8_t code;
    DesfireBytes data;
  };
  DesfireBytes handle(const Command& command);
  DesfireBytes status(std::uint8_t code);
  DesfireBytes reply(std::uint8_t code, const DesfireBytes& data, CommMode mode);
  // The command's data opened for `mode` under an active session, or as it
  // came without one; empty (and the session dropped) when its MAC fails.
  std::optional<DesfireBytes> open(const Command& command, std::size_t headerLength, CommMode mode);

  DesfireBytes authenticate(const Command& command, bool first);
  DesfireBytes authenticateAnswer(const Command& command);
  DesfireBytes selectApplication(const Command& command);
  DesfireBytes getVersion();
  DesfireBytes createApplication(const Command& command);
  DesfireBytes deleteApplication(const Command& command);
  DesfireBytes getApplicationIds(const Command& command);
  DesfireBytes formatPicc(const Command& command);
  DesfireBytes getKeySettings(const Command& command);
  DesfireBytes getFileSettings(const Command& command);
  DesfireBytes createStdDataFile(const Command& command);
  DesfireBytes readData(const Command& command);
  DesfireBytes writeData(const Command& command);
  DesfireBytes getCardUid(const Command& command);
  DesfireBytes changeKey(const Command& command);

  std::vector<DesfireKey>* levelKeys();
  std::uint8_t levelKeySettings() const;
  bool masterAuthenticated() const;
  // A card-level command's data, opened under the session's MAC, when the
  // card level is selected and the key setting `freeSetting` is set or the
  // session holds the card master key; empty otherwise, with `refusal` the
  // status code that refuses the command.
  std::optional<DesfireBytes> openAtCardLevel(const Command& command, std::uint8_t freeSetting,
                                              std::uint8_t& refusal);
  // The file a ReadData or WriteData names and the mode its data travels
  // in: the file's own mode for a session with the key of the right at
  // `rightAt` (read or write) or of the read-write right, plain where one
  // of the two is free. `refusal` is st::kOk, or the status code that
  // refuses the command (with no file).
  struct FileAccess {
    DesfireFile* file;
    CommMode mode;
    std::uint8_t refusal;
  };
  FileAccess accessFile(const Command& command, unsigned rightAt);
  rfid_desfire::Random nextRandom();

  DesfireBytes serial_;
  std::uint8_t majorVersion_ = kDesfireEv3;
  std::uint8_t piccKeySettings_ = 0x0F;
  DesfireKey piccKey_;
  std::map<std::uint32_t, DesfireApplication> apps_;
  std::uint64_t rng_ = 1;
  unsigned long changes_ = 0;

  // Volatile: lost when the card leaves the field.
  std::uint32_t selected_ = 0;  // 0: the card level
  rfid_desfire::Session session_;
  struct PendingAuthentication {
    bool first;
    std::uint8_t keyNo;
    AesKey key;
    rfid_desfire::Random rndB;
  };
  std::optional<PendingAuthentication> pending_;
  int versionPart_ = 0;
  int repliesSinceField_ = 0;
  int flipReply_ = 0;
  std::vector<DesfireBytes> replayed_;
  std::size_t replayAt_ = 0;
};

}  // namespace rfid_sim

#endif  // RFID_SIM_DESFIRE_CARD_H
