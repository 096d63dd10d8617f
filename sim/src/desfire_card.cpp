#include "rfid_sim/desfire_card.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace rfid_sim {
namespace {

namespace cmd = rfid_desfire::cmd;
namespace st = rfid_desfire::status;
using rfid_desfire::Random;

constexpr std::size_t kDataHeaderSize = 7;  // file, offset (3), length (3)
constexpr std::uint8_t kMaxFileNo = 31;
constexpr std::uint8_t kMaxKeys = 14;
constexpr std::uint8_t kAesKeyType = 0x80;
constexpr std::uint8_t kKeyNumberMask = 0x3F;
// An access right names a key (0 to 13), or one of these.
enum AccessRight : std::uint8_t { kFreeAccess = 0x0E, kNoAccess = 0x0F };
// Bits of a level's key settings byte; its high nibble is the ChangeKey
// right.
enum KeySetting : std::uint8_t {
  kMasterChangeable = 0x01,
  kFreeListing = 0x02,
  kFreeCreateDelete = 0x04,
};
// Where each access right stands in a file's rights.
constexpr unsigned kReadRightAt = 12;
constexpr unsigned kWriteRightAt = 8;
constexpr unsigned kReadWriteRightAt = 4;
// The largest reply data that fits one TDX reply with its MAC, padding and
// status: longer reads would need AF chaining, which the model leaves out.
constexpr std::size_t kMaxReadLength = 200;

std::uint32_t littleEndian24(const DesfireBytes& data, std::size_t at) {
  return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
         static_cast<std::uint32_t>(data[at + 2]) << 16;
}

}  // namespace

DesfireCard DesfireCard::factory(const DesfireBytes& serial, std::uint8_t majorVersion,
                                 std::uint64_t seed) {
  DesfireCard card;
  card.serial_ = serial;
  card.majorVersion_ = majorVersion;
  card.rng_ = seed;
  return card;
}

void DesfireCard::setPicc(std::uint8_t keySettings, const DesfireKey& key) {
  piccKeySettings_ = keySettings;
  piccKey_ = key;
}

void DesfireCard::putApplication(std::uint32_t aid, const DesfireApplication& application) {
  apps_[aid] = application;
}

void DesfireCard::replay(std::vector<DesfireBytes> replies) {
  replayed_ = std::move(replies);
  replayAt_ = 0;
}

void DesfireCard::enterField() {
  selected_ = 0;
  session_.drop();
  pending_.reset();
  versionPart_ = 0;
  repliesSinceField_ = 0;
  replayAt_ = 0;
}

Random DesfireCard::nextRandom() {
  // splitmix64: small, seedable and the same on every platform.
  Random out;
  for (std::size_t at = 0; at < out.size(); at += 8) {
    std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    for (std::size_t i = 0; i < 8; ++i)
      out.data()[at + i] = static_cast<std::uint8_t>(z >> (8 * i));
  }
  return out;
}

DesfireBytes DesfireCard::transceive(const DesfireBytes& apdu) {
  DesfireBytes out;
  if (!replayed_.empty()) {
    out = replayAt_ < replayed_.size() ? replayed_[replayAt_++]
                                       : rfid_desfire::wrapReply(st::kAuthenticationError);
  } else {
    const auto command = rfid_desfire::unwrapCommand(apdu.data(), apdu.size());
    out = command ? handle(Command{command->command, command->data}) : status(st::kLengthError);
  }
  if (++repliesSinceField_ == flipReply_ && !out.empty()) out[0] ^= 0x01;
  return out;
}

DesfireBytes DesfireCard::status(std::uint8_t code) {
  if (code != st::kOk && code != st::kMore) session_.drop();
  return rfid_desfire::wrapReply(code);
}

DesfireBytes DesfireCard::reply(std::uint8_t code, const DesfireBytes& data, CommMode mode) {
  const auto protectedData = session_.protectReply(code, data, mode);
  return rfid_desfire::wrapReply(code, protectedData ? *protectedData : DesfireBytes{});
}

std::optional<DesfireBytes> DesfireCard::open(const Command& command, std::size_t headerLength,
                                              CommMode mode) {
  if (!session_.active()) return command.data;
  return session_.openCommand(command.code, command.data, headerLength, mode);
}

std::vector<DesfireKey>* DesfireCard::levelKeys() {
  if (selected_ == 0) return nullptr;
  const auto app = apps_.find(selected_);
  return app != apps_.end() ? &app->second.keys : nullptr;
}

std::uint8_t DesfireCard::levelKeySettings() const {
  if (selected_ == 0) return piccKeySettings_;
  const auto app = apps_.find(selected_);
  return app != apps_.end() ? app->second.keySettings : 0;
}

bool DesfireCard::masterAuthenticated() const {
  return session_.active() && session_.keyNo() == 0;
}

std::optional<DesfireBytes> DesfireCard::openAtCardLevel(const Command& command,
                                                         std::uint8_t freeSetting,
                                                         std::uint8_t& refusal) {
  auto data = open(command, 0, CommMode::kMac);
  if (!data) {
    refusal = st::kIntegrityError;
  } else if (selected_ != 0) {
    refusal = st::kPermissionDenied;
  } else if ((piccKeySettings_ & freeSetting) == 0 && !masterAuthenticated()) {
    refusal = st::kAuthenticationError;
  } else {
    return data;
  }
  return std::nullopt;
}

DesfireCard::FileAccess DesfireCard::accessFile(const Command& command, unsigned rightAt) {
  if (command.data.size() < kDataHeaderSize) return {nullptr, CommMode::kPlain, st::kLengthError};
  const auto app = apps_.find(selected_);
  if (app == apps_.end() || app->second.files.count(command.data[0]) == 0) {
    return {nullptr, CommMode::kPlain, st::kFileNotFound};
  }
  DesfireFile& file = app->second.files.at(command.data[0]);
  const std::uint8_t right = (file.rights >> rightAt) & 0x0F;
  const std::uint8_t readWrite = (file.rights >> kReadWriteRightAt) & 0x0F;
  const bool keyAllows =
      session_.active() && (session_.keyNo() == right || session_.keyNo() == readWrite);
  const bool free = right == kFreeAccess || readWrite == kFreeAccess;
  if (!keyAllows && !free) {
    return {nullptr, CommMode::kPlain,
            session_.active() ? st::kPermissionDenied : st::kAuthenticationError};
  }
  return {&file, keyAllows ? file.mode : CommMode::kPlain, st::kOk};
}

DesfireBytes DesfireCard::handle(const Command& command) {
  if (command.code == cmd::kMore) {
    if (pending_) return authenticateAnswer(command);
    if (versionPart_ > 0) return getVersion();
    return status(st::kIllegalCommand);
  }
  // Any other command ends an authentication or a GetVersion half done.
  pending_.reset();
  versionPart_ = 0;
  if (command.code == cmd::kAuthenticateFirst || command.code == cmd::kAuthenticateNonFirst) {
    return authenticate(command, command.code == cmd::kAuthenticateFirst);
  }
  if (command.code == cmd::kGetVersion) {
    session_.drop();
    return getVersion();
  }
  // The other commands the card knows, each answered by its handler alone.
  using Handler = DesfireBytes (DesfireCard::*)(const Command&);
  static constexpr struct {
    std::uint8_t code;
    Handler handler;
  } kHandlers[] = {{cmd::kSelectApplication, &DesfireCard::selectApplication},
                   {cmd::kCreateApplication, &DesfireCard::createApplication},
                   {cmd::kDeleteApplication, &DesfireCard::deleteApplication},
                   {cmd::kGetApplicationIds, &DesfireCard::getApplicationIds},
                   {cmd::kFormatPicc, &DesfireCard::formatPicc},
                   {cmd::kGetKeySettings, &DesfireCard::getKeySettings},
                   {cmd::kGetFileSettings, &DesfireCard::getFileSettings},
                   {cmd::kCreateStdDataFile, &DesfireCard::createStdDataFile},
                   {cmd::kReadData, &DesfireCard::readData},
                   {cmd::kWriteData, &DesfireCard::writeData},
                   {cmd::kGetCardUid, &DesfireCard::getCardUid},
                   {cmd::kChangeKey, &DesfireCard::changeKey}};
  for (const auto& entry : kHandlers) {
    if (entry.code == command.code) return (this->*entry.handler)(command);
  }
  return status(st::kIllegalCommand);
}

DesfireBytes DesfireCard::authenticate(const Command& command, bool first) {
  // An EV1 card has no AuthenticateEV2First or NonFirst.
  if (majorVersion_ < kDesfireEv2) return status(st::kIllegalCommand);
  if (command.data.size() < (first ? 2U : 1U)) return status(st::kLengthError);
  const std::uint8_t keyNo = command.data[0] & kKeyNumberMask;
  const DesfireKey* key = nullptr;
  if (selected_ == 0) {
    if (keyNo == 0) key = &piccKey_;
  } else if (const auto* keys = levelKeys(); keys != nullptr && keyNo < keys->size()) {
    key = &(*keys)[keyNo];
  }
  if (key == nullptr) return status(st::kNoSuchKey);
  if (first) {
    session_.drop();
  } else if (!session_.active()) {
    return status(st::kAuthenticationError);
  }
  pending_ = PendingAuthentication{first, keyNo, key->key, nextRandom()};
  const rfid_desfire::CardAuthentication card(first, keyNo, key->key, pending_->rndB);
  const auto challenge = card.challenge();
  if (!challenge) return status(st::kAuthenticationError);
  return rfid_desfire::wrapReply(st::kMore, *challenge);
}

DesfireBytes DesfireCard::authenticateAnswer(const Command& command) {
  const PendingAuthentication pending = *pending_;
  pending_.reset();
  rfid_desfire::CardAuthentication card(pending.first, pending.keyNo, pending.key, pending.rndB);
  rfid_desfire::Ti ti = session_.ti();
  if (pending.first) {
    const Random fresh = nextRandom();
    std::copy_n(fresh.data(), ti.size(), ti.begin());
  }
  const auto answer = card.answer(command.data, ti, session_);
  if (!answer) return status(st::kAuthenticationError);
  return rfid_desfire::wrapReply(st::kOk, *answer);
}

DesfireBytes DesfireCard::selectApplication(const Command& command) {
  session_.drop();
  if (command.data.size() != 3) return status(st::kLengthError);
  const std::uint32_t aid = littleEndian24(command.data, 0);
  if (aid != 0 && apps_.count(aid) == 0) return status(st::kApplicationNotFound);
  selected_ = aid;
  return status(st::kOk);
}

DesfireBytes DesfireCard::getVersion() {
  // Hardware, then software information (vendor NXP, type, subtype, major,
  // minor, storage 8 KB, protocol ISO 14443-4), then the serial number,
  // batch number and production week and year.
  const DesfireBytes part = {0x04, 0x01, 0x01, majorVersion_, 0x00, 0x1A, 0x05};
  switch (versionPart_) {
    case 0:
    case 1:
      ++versionPart_;
      return rfid_desfire::wrapReply(st::kMore, part);
    default: {
      versionPart_ = 0;
      DesfireBytes last = serial_;
      last.resize(7, 0x00);
      last.insert(last.end(), {0xBA, 0x7C, 0x00, 0x00, 0x01, 0x26, 0x26});
      return rfid_desfire::wrapReply(st::kOk, last);
    }
  }
}

DesfireBytes DesfireCard::createApplication(const Command& command) {
  std::uint8_t refusal = st::kOk;
  const auto data = openAtCardLevel(command, kFreeCreateDelete, refusal);
  if (!data) return status(refusal);
  if (data->size() != 5) return status(st::kLengthError);
  const std::uint32_t aid = littleEndian24(*data, 0);
  const std::uint8_t keyCount = (*data)[4] & 0x0F;
  if (aid == 0 || ((*data)[4] & kAesKeyType) == 0 || keyCount == 0 || keyCount > kMaxKeys) {
    return status(st::kLengthError);
  }
  if (apps_.count(aid) != 0) return status(st::kDuplicate);
  DesfireApplication app;
  app.keySettings = (*data)[3];
  app.keys.resize(keyCount);
  apps_[aid] = app;
  ++changes_;
  return reply(st::kOk, {}, CommMode::kMac);
}

DesfireBytes DesfireCard::deleteApplication(const Command& command) {
  std::uint8_t refusal = st::kOk;
  const auto data = openAtCardLevel(command, kFreeCreateDelete, refusal);
  if (!data) return status(refusal);
  if (data->size() != 3) return status(st::kLengthError);
  if (apps_.erase(littleEndian24(*data, 0)) == 0) return status(st::kApplicationNotFound);
  ++changes_;
  return reply(st::kOk, {}, CommMode::kMac);
}

DesfireBytes DesfireCard::getApplicationIds(const Command& command) {
  std::uint8_t refusal = st::kOk;
  if (!openAtCardLevel(command, kFreeListing, refusal)) return status(refusal);
  DesfireBytes ids;
  for (const auto& [aid, app] : apps_) {
    ids.push_back(static_cast<std::uint8_t>(aid));
    ids.push_back(static_cast<std::uint8_t>(aid >> 8));
    ids.push_back(static_cast<std::uint8_t>(aid >> 16));
  }
  return reply(st::kOk, ids, CommMode::kMac);
}

DesfireBytes DesfireCard::formatPicc(const Command& command) {
  if (!open(command, 0, CommMode::kMac)) return status(st::kIntegrityError);
  if (selected_ != 0 || !masterAuthenticated()) return status(st::kAuthenticationError);
  apps_.clear();
  ++changes_;
  return reply(st::kOk, {}, CommMode::kMac);
}

DesfireBytes DesfireCard::getKeySettings(const Command& command) {
  if (!open(command, 0, CommMode::kMac)) return status(st::kIntegrityError);
  const std::uint8_t settings = levelKeySettings();
  if ((settings & kFreeListing) == 0 && !session_.active()) {
    return status(st::kAuthenticationError);
  }
  const auto* keys = levelKeys();
  const std::uint8_t count =
      keys != nullptr ? static_cast<std::uint8_t>(kAesKeyType | keys->size()) : 0x01;
  return reply(st::kOk, {settings, count}, CommMode::kMac);
}

DesfireBytes DesfireCard::getFileSettings(const Command& command) {
  const auto data = open(command, 0, CommMode::kMac);
  if (!data) return status(st::kIntegrityError);
  const auto app = apps_.find(selected_);
  if (app == apps_.end()) return status(st::kPermissionDenied);
  if ((app->second.keySettings & kFreeListing) == 0 && !session_.active()) {
    return status(st::kAuthenticationError);
  }
  if (data->size() != 1) return status(st::kLengthError);
  const auto file = app->second.files.find((*data)[0]);
  if (file == app->second.files.end()) return status(st::kFileNotFound);
  // A standard data file: type 00, CommMode, access rights and size LSB first.
  const auto size = static_cast<std::uint32_t>(file->second.data.size());
  return reply(
      st::kOk,
      {0x00, static_cast<std::uint8_t>(file->second.mode),
       static_cast<std::uint8_t>(file->second.rights),
       static_cast<std::uint8_t>(file->second.rights >> 8), static_cast<std::uint8_t>(size),
       static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size >> 16)},
      CommMode::kMac);
}

DesfireBytes DesfireCard::createStdDataFile(const Command& command) {
  const auto data = open(command, 0, CommMode::kMac);
  if (!data) return status(st::kIntegrityError);
  const auto app = apps_.find(selected_);
  if (app == apps_.end()) return status(st::kPermissionDenied);
  if ((app->second.keySettings & kFreeCreateDelete) == 0 && !masterAuthenticated()) {
    return status(st::kAuthenticationError);
  }
  if (data->size() != 7) return status(st::kLengthError);
  const std::uint8_t fileNo = (*data)[0];
  const std::uint8_t mode = (*data)[1];
  if (fileNo > kMaxFileNo || (mode != 0x00 && mode != 0x01 && mode != 0x03)) {
    return status(st::kLengthError);
  }
  if (app->second.files.count(fileNo) != 0) return status(st::kDuplicate);
  DesfireFile file;
  file.mode = static_cast<CommMode>(mode);
  file.rights = static_cast<std::uint16_t>((*data)[2] | (*data)[3] << 8);
  file.data.assign(littleEndian24(*data, 4), 0x00);
  app->second.files[fileNo] = file;
  ++changes_;
  return reply(st::kOk, {}, CommMode::kMac);
}

DesfireBytes DesfireCard::readData(const Command& command) {
  const FileAccess access = accessFile(command, kReadRightAt);
  if (access.refusal != st::kOk) return status(access.refusal);
  const DesfireFile& file = *access.file;
  const CommMode mode = access.mode;
  const auto header = open(command, kDataHeaderSize, mode);
  if (!header) return status(st::kIntegrityError);
  if (header->size() != kDataHeaderSize) return status(st::kLengthError);
  const std::uint32_t offset = littleEndian24(*header, 1);
  std::uint32_t length = littleEndian24(*header, 4);
  if (offset > file.data.size()) return status(st::kBoundaryError);
  if (length == 0) length = static_cast<std::uint32_t>(file.data.size() - offset);
  if (length > file.data.size() - offset) return status(st::kBoundaryError);
  if (length > kMaxReadLength) return status(st::kLengthError);
  const DesfireBytes data(file.data.begin() + offset, file.data.begin() + offset + length);
  return reply(st::kOk, data, mode);
}

DesfireBytes DesfireCard::writeData(const Command& command) {
  const FileAccess access = accessFile(command, kWriteRightAt);
  if (access.refusal != st::kOk) return status(access.refusal);
  DesfireFile& file = *access.file;
  const CommMode mode = access.mode;
  auto opened = open(command, kDataHeaderSize, mode);
  if (!opened) return status(st::kIntegrityError);
  const std::uint32_t offset = littleEndian24(*opened, 1);
  const std::uint32_t length = littleEndian24(*opened, 4);
  if (opened->size() - kDataHeaderSize != length) {
    OPENSSL_cleanse(opened->data(), opened->size());
    return status(st::kLengthError);
  }
  if (offset > file.data.size() || length > file.data.size() - offset) {
    return status(st::kBoundaryError);
  }
  std::copy(opened->begin() + kDataHeaderSize, opened->end(), file.data.begin() + offset);
  OPENSSL_cleanse(opened->data(), opened->size());
  ++changes_;
  return reply(st::kOk, {}, mode);
}

DesfireBytes DesfireCard::getCardUid(const Command& command) {
  if (!session_.active()) return status(st::kAuthenticationError);
  if (!open(command, 0, CommMode::kFull)) return status(st::kIntegrityError);
  return reply(st::kOk, serial_, CommMode::kFull);
}

DesfireBytes DesfireCard::changeKey(const Command& command) {
  if (!session_.active()) return status(st::kAuthenticationError);
  auto opened = open(command, 1, CommMode::kFull);
  if (!opened) return status(st::kIntegrityError);
  struct Wipe {
    DesfireBytes& bytes;
    ~Wipe() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  } wipe{*opened};
  const std::uint8_t target = (*opened)[0] & kKeyNumberMask;
  std::vector<DesfireKey>* keys = levelKeys();
  DesfireKey* key = nullptr;
  if (selected_ == 0) {
    if (target == 0) key = &piccKey_;
  } else if (keys != nullptr && target < keys->size()) {
    key = &(*keys)[target];
  }
  if (key == nullptr) return status(st::kNoSuchKey);
  const std::uint8_t settings = levelKeySettings();
  const std::uint8_t changeKeyRight = settings >> 4;
  const std::uint8_t authenticated = session_.keyNo();
  bool allowed = false;
  if (target == 0 || selected_ == 0) {
    allowed = authenticated == 0 && (settings & kMasterChangeable) != 0;
  } else if (changeKeyRight == kFreeAccess) {
    allowed = authenticated == target;
  } else if (changeKeyRight != kNoAccess) {
    allowed = authenticated == changeKeyRight;
  }
  if (!allowed) return status(st::kPermissionDenied);

  const std::size_t keySize = AesKey::size();
  DesfireKey changed;
  if (target == authenticated) {
    if (opened->size() != 1 + keySize + 1) return status(st::kLengthError);
    std::copy_n(opened->begin() + 1, keySize, changed.key.data());
    changed.version = (*opened)[1 + keySize];
    *key = changed;
    ++changes_;
    // A new key for the session's own key ends the session: no MAC.
    session_.drop();
    return rfid_desfire::wrapReply(st::kOk);
  }
  if (opened->size() != 1 + keySize + 1 + 4) return status(st::kLengthError);
  for (std::size_t i = 0; i < keySize; ++i) {
    changed.key.data()[i] = static_cast<std::uint8_t>((*opened)[1 + i] ^ key->key.data()[i]);
  }
  changed.version = (*opened)[1 + keySize];
  const std::uint32_t crc = rfid_desfire::crc32nk(changed.key.data(), keySize);
  for (std::size_t i = 0; i < 4; ++i) {
    if ((*opened)[2 + keySize + i] != static_cast<std::uint8_t>(crc >> (8 * i))) {
      return status(st::kIntegrityError);
    }
  }
  *key = changed;
  ++changes_;
  return reply(st::kOk, {}, CommMode::kFull);
}

}  // namespace rfid_sim
