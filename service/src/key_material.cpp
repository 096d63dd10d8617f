#include "key_material.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "fleet_token.h"
#include "rfid_secrets/secret_file.h"

namespace rfid_tokend {
namespace {

constexpr std::uint8_t kHasSectorKeys = 1;
constexpr std::uint8_t kHasFleet = 2;
constexpr std::uint8_t kHasDesfire = 4;
constexpr std::size_t kAes = rfid_cardauth::kAesKeySize;

// Writes and reads the record field by field, in one order.
class Cursor {
 public:
  explicit Cursor(std::uint8_t* at) : at_(at) {}
  void put(const void* bytes, std::size_t size) {
    std::memcpy(at_, bytes, size);
    at_ += size;
  }
  void take(void* bytes, std::size_t size) {
    std::memcpy(bytes, at_, size);
    at_ += size;
  }
  std::uint8_t byte() { return *at_++; }
  void putByte(std::uint8_t value) { *at_++ = value; }

 private:
  std::uint8_t* at_;
};

// The key file through the secret file reader, in the lines the service has
// always given: an owner or a size refused as "--keys PATH: rule", every
// other fault as the key file library words it after "--keys: ".
std::optional<std::string> readServiceKeyFile(const std::string& path,
                                              rfid_keys::SectorKeys& keys) {
  using Rule = rfid_secrets::SecretFileFault::Rule;
  rfid_secrets::SecretBuffer text;
  rfid_secrets::FileRules rules;
  rules.maxSize = rfid_keys::kLongestKeyFile;
  if (const auto fault = rfid_secrets::readSecretFile(path, text, rules)) {
    if (fault->rule == Rule::kOwner || fault->rule == Rule::kSize) {
      return "--keys " + path + ": " + fault->ruleText();
    }
    return "--keys: " + fault->describe("key file");
  }
  if (const auto fault = rfid_keys::parseKeyFile(text.view(), keys)) {
    return "--keys: key file " + path + ", " + *fault;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> readKeyMaterial(const Config& config, KeyMaterial& keys) {
  KeyMaterial read;
  if (!config.keyFile.empty()) {
    rfid_keys::SectorKeys sectorKeys{};
    if (const auto fault = readServiceKeyFile(config.keyFile, sectorKeys)) return fault;
    read.sectorKeys = sectorKeys;
    sectorKeys.fill(std::nullopt);
  }
  if (!config.fleetKeys.empty()) {
    rfid_cardauth::FleetKeys fleet;
    if (const auto fault = readChargerFleetKeys(config.fleetKeys, fleet)) {
      return "--fleet-keys: " + *fault;
    }
    for (const ReaderConfig& reader : config.readers) {
      if (reader.token == TokenSource::kDesfire && !fleet.desfire) {
        return "--fleet-keys: fleet key file " + config.fleetKeys +
               " has no [desfire] table, which reader " + reader.name +
               " (token = \"desfire\") needs: add aid and read_key";
      }
    }
    read.fleet = fleet;
  }
  keys = read;
  return std::nullopt;
}

SecretPages::SecretPages(std::size_t size) : size_(size) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  mapped_ = (size + page - 1) / page * page;
  void* pages =
      ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(pages);
  (void)::madvise(pages, mapped_, MADV_DONTDUMP);
  (void)::madvise(pages, mapped_, MADV_DONTFORK);
}

SecretPages::~SecretPages() {
  wipe();
  ::munmap(data_, mapped_);
}

void SecretPages::wipe() {
  OPENSSL_cleanse(data_, size_);
}

void encodeKeyRecord(const KeyMaterial& keys, SecretPages& record) {
  record.wipe();
  Cursor out(record.data());
  const bool desfire = keys.fleet && keys.fleet->desfire;
  out.putByte((keys.sectorKeys ? kHasSectorKeys : 0) | (keys.fleet ? kHasFleet : 0) |
              (desfire ? kHasDesfire : 0));
  for (int sector = 0; sector < rfid_keys::kSectorCount; ++sector) {
    const auto& key = keys.sectorKeys ? (*keys.sectorKeys)[sector] : std::nullopt;
    out.putByte(key ? 1 : 0);
    if (key) {
      out.put(key->data(), key->size());
    } else {
      const rfid_keys::Key none{};
      out.put(none.data(), none.size());
    }
  }
  const rfid_cardauth::FleetKeys none;
  const rfid_cardauth::FleetKeys& fleet = keys.fleet ? *keys.fleet : none;
  char systemId[rfid_cardauth::kMaxSystemIdLength] = {};
  std::memcpy(systemId, fleet.systemId.data(), std::min(fleet.systemId.size(), sizeof systemId));
  out.putByte(static_cast<std::uint8_t>(std::min(fleet.systemId.size(), sizeof systemId)));
  out.put(systemId, sizeof systemId);
  out.put(fleet.keyA.data(), kAes);
  for (int id = 1; id <= kMaxMacKeyId; ++id) {
    const auto mac = fleet.macKeys.find(static_cast<std::uint8_t>(id));
    out.putByte(mac != fleet.macKeys.end() ? 1 : 0);
    const rfid_cardauth::AesKey zero;
    out.put(mac != fleet.macKeys.end() ? mac->second.data() : zero.data(), kAes);
  }
  // A charger's file never holds K_DM (see readChargerFleetKeys): the
  // record has no room for it.
  const rfid_cardauth::DesfireFleetKeys noDesfire;
  const rfid_cardauth::DesfireFleetKeys& table = desfire ? *fleet.desfire : noDesfire;
  for (int shift = 16; shift >= 0; shift -= 8) out.putByte((table.aid >> shift) & 0xFF);
  out.put(table.readKey.data(), kAes);
}

bool decodeKeyRecord(const SecretPages& record, KeyMaterial& keys) {
  KeyMaterial decoded;
  Cursor in(const_cast<std::uint8_t*>(record.data()));
  const std::uint8_t has = in.byte();
  if ((has & ~(kHasSectorKeys | kHasFleet | kHasDesfire)) != 0) return false;
  if ((has & kHasDesfire) != 0 && (has & kHasFleet) == 0) return false;
  rfid_keys::SectorKeys sectorKeys{};
  for (int sector = 0; sector < rfid_keys::kSectorCount; ++sector) {
    const std::uint8_t present = in.byte();
    rfid_keys::Key key{};
    in.take(key.data(), key.size());
    if (present > 1) return false;
    if (present == 1) sectorKeys[sector] = key;
    key.fill(0);
  }
  if ((has & kHasSectorKeys) != 0) decoded.sectorKeys = sectorKeys;
  rfid_cardauth::FleetKeys fleet;
  const std::size_t idLength = in.byte();
  char systemId[rfid_cardauth::kMaxSystemIdLength] = {};
  in.take(systemId, sizeof systemId);
  if (idLength > sizeof systemId) return false;
  fleet.systemId.assign(systemId, idLength);
  in.take(fleet.keyA.data(), kAes);
  for (int id = 1; id <= kMaxMacKeyId; ++id) {
    const std::uint8_t present = in.byte();
    rfid_cardauth::AesKey mac;
    in.take(mac.data(), kAes);
    if (present > 1) return false;
    if (present == 1) fleet.macKeys[static_cast<std::uint8_t>(id)] = mac;
  }
  rfid_cardauth::DesfireFleetKeys desfire;
  desfire.aid = 0;
  for (int i = 0; i < 3; ++i) desfire.aid = (desfire.aid << 8) | in.byte();
  in.take(desfire.readKey.data(), kAes);
  if ((has & kHasDesfire) != 0) {
    if (desfire.aid == 0) return false;
    fleet.desfire = desfire;
  }
  if ((has & kHasFleet) != 0) {
    if (fleet.macKeys.empty() || !rfid_cardauth::isValidSystemId(fleet.systemId)) return false;
    decoded.fleet = fleet;
  }
  keys = decoded;
  return true;
}

}  // namespace rfid_tokend
