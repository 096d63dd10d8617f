// libFuzzer target for what a fleet card and a fleet key file feed the
// cardauth library: the token block read from a card (any 16 bytes, any
// serial number) and the fleet key file's text.
//
// Input layout: byte 0 picks the part (low bit: 0 the token block, 1 the
// fleet key file). Token block: byte 1 picks a 4- or 7-byte serial number
// (low bit), then the serial number and the 16 bytes of the block; missing
// bytes are zero. Fleet key file: the rest is the file's text.
//
// Besides crashes and sanitizer reports, it checks: a block passes only
// when it is exactly the block the scheme makes for its token id, key id
// and serial number, and a layout and key id it knows with any other MAC is
// refused for the MAC; a refused file comes with a fault that shows no run
// of hex digits that could be part of a key.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rfid_cardauth/fleet_keys.h"
#include "rfid_cardauth/scheme.h"
#include "rfid_hex/hex.h"

namespace {

using namespace rfid_cardauth;

constexpr std::uint8_t kKnownKeyId = 1;

const AesKey& macKey() {
  static const AesKey key(std::array<std::uint8_t, kAesKeySize>{0x20, 0x21, 0x22, 0x23, 0x24, 0x25,
                                                                0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B,
                                                                0x2C, 0x2D, 0x2E, 0x2F});
  return key;
}

void checkBlock(const std::uint8_t* data, std::size_t size) {
  const std::size_t uidSize = size > 0 && (data[0] & 1) != 0 ? 7 : 4;
  std::array<std::uint8_t, 1 + 7 + kBlockSize> bytes{};
  std::copy_n(data, std::min(size, bytes.size()), bytes.begin());
  const Uid uid(bytes.begin() + 1, bytes.begin() + 1 + static_cast<std::ptrdiff_t>(uidSize));
  Block block{};
  std::copy_n(bytes.begin() + 1 + static_cast<std::ptrdiff_t>(uidSize), kBlockSize, block.begin());

  MacKeys keys;
  keys[kKnownKeyId] = macKey();
  const Verification result = verifyTokenBlock(block, uid, keys);
  if (block[0] != kLayoutVersion) {
    if (result.verdict != Verdict::kLayout) std::abort();
    return;
  }
  if (block[1] != kKnownKeyId) {
    if (result.verdict != Verdict::kKeyId) std::abort();
    return;
  }
  const auto genuine = encodeTokenBlock(macKey(), kKnownKeyId, result.tokenId, uid);
  if (!genuine) std::abort();
  const Verdict expected = *genuine == block ? Verdict::kValid : Verdict::kMac;
  if (result.verdict != expected || result.keyId != kKnownKeyId) std::abort();
}

bool holdsHexRun(const std::string& text) {
  std::size_t run = 0;
  for (const char c : text) {
    run = rfid_hex::digitValue(c) >= 0 ? run + 1 : 0;
    if (run >= 6) return true;
  }
  return false;
}

void checkFleetFile(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FleetKeys keys;
  const auto fault = parseFleetKeys(text, keys);
  if (fault && (fault->empty() || holdsHexRun(*fault))) std::abort();
  if (!fault && (keys.macKeys.empty() || !isValidSystemId(keys.systemId))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    checkBlock(data + 1, size - 1);
  } else {
    checkFleetFile(data + 1, size - 1);
  }
  return 0;
}
