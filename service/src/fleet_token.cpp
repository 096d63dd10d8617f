#include "fleet_token.h"

#include <algorithm>
#include <cstring>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "rfid_cardauth/scheme.h"
#include "rfid_hex/hex.h"

namespace rfid_tokend {
namespace {

using rfid_cardauth::kTokenBlock;
using rfid_cardauth::kTokenSector;

constexpr std::size_t kDecimalTokenDigits = 15;  // 2^48 - 1 = 281474976710655

// Row 1 of the module's key table, put back (and the card's key gone) when
// the read is over.
class TokenSectorKey {
 public:
  explicit TokenSectorKey(const rfid_cardauth::SectorKey& key) {
    std::memcpy(saved_, sectorKeyA[kTokenSector], sizeof saved_);
    std::memcpy(sectorKeyA[kTokenSector], key.data(), key.size());
  }
  ~TokenSectorKey() { std::memcpy(sectorKeyA[kTokenSector], saved_, sizeof saved_); }
  TokenSectorKey(const TokenSectorKey&) = delete;
  TokenSectorKey& operator=(const TokenSectorKey&) = delete;

 private:
  unsigned char saved_[sizeof sectorKeyA[0]];
};

FleetRead refused(const char* reason) {
  FleetRead read;
  read.outcome = FleetRead::Outcome::kRefused;
  read.reason = reason;
  return read;
}

// How a step of the read ends it: nothing when the step went through; a
// refused login or read both mean the card does not open with its key A.
std::optional<FleetRead> endedBy(FleetCardReader::Result result) {
  switch (result) {
    case FleetCardReader::Result::kDone:
      return std::nullopt;
    case FleetCardReader::Result::kRefused:
      return refused("login");
    case FleetCardReader::Result::kLost:
      break;
  }
  return FleetRead{};
}
}  // namespace

std::optional<std::string> readChargerFleetKeys(const std::string& path,
                                                rfid_cardauth::FleetKeys& keys) {
  rfid_cardauth::FleetKeys read;
  if (auto fault = rfid_cardauth::readFleetKeys(path, read)) return fault;
  if (const char* benchKey = rfid_cardauth::benchOnlyKey(read)) {
    return "fleet key file " + path + " holds " + benchKey +
           ": a charger must never hold the key that rewrites cards; give it a copy "
           "without the " +
           benchKey + " line";
  }
  keys = read;
  return std::nullopt;
}

std::string fleetTokenText(const rfid_cardauth::TokenId& id, TokenFormat format) {
  if (format == TokenFormat::kHex) return rfid_hex::toHex(id);
  std::uint64_t value = 0;
  for (const std::uint8_t byte : id) value = (value << 8) | byte;
  // Always 15 digits: a serial-number token has 8 or 14, so the two can
  // never be the same string, whatever the card's serial number reads as.
  std::string text = std::to_string(value);
  return std::string(kDecimalTokenDigits - std::min(text.size(), kDecimalTokenDigits), '0') + text;
}

FleetCardReader::Result PortFleetReader::judge(bool done) const {
  if (done) return Result::kDone;
  return ready_() ? Result::kRefused : Result::kLost;
}

FleetCardReader::Result PortFleetReader::login(int block) {
  if (!reader_.needsLogin()) return Result::kDone;  // its read carries the key itself
  if (!ready_()) return Result::kLost;
  return judge(reader_.login(block));
}

FleetCardReader::Result PortFleetReader::read(int block, std::uint8_t* data) {
  if (!ready_()) return Result::kLost;
  rfid_host::Block bytes{};
  const Result result = judge(reader_.read(block, bytes));
  if (result == Result::kDone) std::memcpy(data, bytes.data(), bytes.size());
  return result;
}

FleetRead readFleetToken(const rfid_cardauth::FleetKeys& keys,
                         const std::vector<std::uint8_t>& serial, FleetCardReader& reader) {
  const auto keyA = rfid_cardauth::sectorKey(keys.keyA, rfid_cardauth::KeyKind::kA, serial,
                                             kTokenSector, keys.systemId);
  if (!keyA) return refused("login");
  const TokenSectorKey inTable(*keyA);
  if (auto ended = endedBy(reader.login(kTokenBlock))) return *ended;
  rfid_cardauth::Block block{};
  if (auto ended = endedBy(reader.read(kTokenBlock, block.data()))) return *ended;
  const auto verdict = rfid_cardauth::verifyTokenBlock(block, serial, keys.macKeys);
  if (verdict.verdict != rfid_cardauth::Verdict::kValid) {
    return refused(rfid_cardauth::verdictName(verdict.verdict));
  }
  FleetRead read;
  read.outcome = FleetRead::Outcome::kToken;
  read.tokenId = verdict.tokenId;
  return read;
}

}  // namespace rfid_tokend
