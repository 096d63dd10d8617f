// libFuzzer target for the host's side of the DESFire exchange: what the
// card (or the line) sends back to the charger's read of a fleet card
// (rfid_desfire::readFleetCard): TDX reply lengths, 91 xx status words, AF
// chains, MACs and padding.
//
// Input layout: byte 0 picks the mode (low bit). Mode 0, raw replies: the
// rest is a list of replies [length][bytes], one per exchange in order;
// length 0xFF is a lost exchange, and an exchange past the end of the input
// is lost. Mode 1, a damaged genuine read: the genuine card's four replies
// to the scheme's example read (RndA A0..AF), changed by the rest of the
// input taken as [reply][position][xor] triples (reply mod 4, position mod
// the reply's length).
//
// Besides crashes and sanitizer reports, it checks that no malformed reply
// yields a token: a read is valid only with the genuine card's challenge
// and read reply, untouched, and then gives the genuine token id.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "rfid_desfire/fleet.h"
#include "rfid_hex/hex.h"

namespace {

using rfid_desfire::Bytes;

const std::array<const char*, 4> kGenuineReplies = {
    "9100", "C04F82C33CCA35D7DE9D7F98B5EDA84D91AF",
    "BC461237E28D153AFF56E4F43E3B7BCDA002CF3FEE57A863B5CB70356D0BD37A9100",
    "12E25AC6DB09B30C309924F3B669A1779D4895F18FA5F2DE2306A885AFF30107284621717A4A7B031C4FA9FE22665F"
    "142DCEC457C4C6D7909100"};
constexpr rfid_desfire::TokenId kGenuineToken = {0x00, 0x00, 0x07, 0x5B, 0xCD, 0x15};
constexpr std::uint8_t kLost = 0xFF;

void violation(const char* what) {
  std::fprintf(stderr, "PROPERTY VIOLATION: %s\n", what);
  std::abort();
}

const rfid_desfire::ReaderKeys& keys() {
  static const rfid_desfire::ReaderKeys reader = [] {
    rfid_desfire::ReaderKeys k;
    for (std::size_t i = 0; i < k.readKey.size(); ++i) {
      k.readKey.data()[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    return k;
  }();
  return reader;
}

const std::vector<Bytes>& genuine() {
  static const std::vector<Bytes> replies = [] {
    std::vector<Bytes> out;
    for (const char* hex : kGenuineReplies) out.push_back(*rfid_hex::fromHex(hex));
    return out;
  }();
  return replies;
}

bool fixedRndA(rfid_desfire::Random& out) {
  for (std::size_t i = 0; i < out.size(); ++i) out.data()[i] = static_cast<std::uint8_t>(0xA0 + i);
  return true;
}

// Runs the read over `replies` (empty entries: lost) and checks its result.
void check(const std::vector<std::optional<Bytes>>& replies) {
  std::size_t next = 0;
  const rfid_desfire::Transceive card = [&](const Bytes&) -> std::optional<Bytes> {
    if (next >= replies.size()) return std::nullopt;
    const std::optional<Bytes>& reply = replies[next++];
    // The module hands on at most 251 card bytes.
    if (reply && reply->size() > 251) return Bytes(reply->begin(), reply->begin() + 251);
    return reply;
  };
  const Bytes serial = {0x04, 0x78, 0x2E, 0x21, 0x80, 0x1D, 0x80};
  const rfid_desfire::FleetRead read =
      rfid_desfire::readFleetCard(keys(), serial, 0x20, card, fixedRndA);
  if (read.verdict != rfid_desfire::ReadVerdict::kValid) {
    if (read.tokenId != rfid_desfire::TokenId{}) violation("a token id with a refusal");
    return;
  }
  if (replies.size() < 4 || replies[1] != genuine()[1] || replies[3] != genuine()[3]) {
    violation("a token from a reply that is not the genuine card's");
  }
  if (read.tokenId != kGenuineToken) violation("another token id than the genuine card's");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::vector<std::optional<Bytes>> replies;
  if ((data[0] & 1) == 0) {
    std::size_t at = 1;
    while (at < size) {
      const std::uint8_t length = data[at++];
      if (length == kLost) {
        replies.emplace_back(std::nullopt);
        continue;
      }
      const std::size_t taken = std::min<std::size_t>(length, size - at);
      replies.emplace_back(Bytes(data + at, data + at + taken));
      at += taken;
    }
  } else {
    for (const Bytes& reply : genuine()) replies.emplace_back(reply);
    for (std::size_t at = 1; at + 2 < size; at += 3) {
      Bytes& reply = *replies[data[at] % replies.size()];
      reply[data[at + 1] % reply.size()] ^= data[at + 2];
    }
  }
  check(replies);
  return 0;
}
