#include "token_shapes.h"

#include <cstring>

#include "Module_RFID_ext.h"

namespace rfid_tokend {
namespace {

using Fault = std::optional<std::string>;

constexpr std::size_t kBlockBytes = RFID_BLOCK_SIZE;

std::string inQuotes(const std::string& text) {
  return "\"" + text + "\"";
}

// What the tokens of one kind look like: the prefix, then a body of one of
// `lengths` characters, each from `characters` (nullptr: any printable).
struct TokenShape {
  const ReaderConfig* reader;
  std::string prefix;
  std::vector<std::size_t> lengths;
  const char* characters;
  std::string what;
};

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kDecimalDigits[] = "0123456789";

// Whether some token of `a` and some token of `b` are the same string. A
// body character stands for a class that shares a digit with every other,
// so only a prefix character can tell two positions apart.
bool mayBeEqual(const TokenShape& a, const TokenShape& b) {
  const auto fits = [](char c, const TokenShape& shape) {
    return shape.characters == nullptr ? c >= 0x20 && c <= 0x7E
                                       : std::strchr(shape.characters, c) != nullptr;
  };
  for (const std::size_t lengthA : a.lengths) {
    for (const std::size_t lengthB : b.lengths) {
      const std::size_t size = a.prefix.size() + lengthA;
      if (size != b.prefix.size() + lengthB) continue;
      bool equal = true;
      for (std::size_t i = 0; equal && i < size; ++i) {
        const bool fixedA = i < a.prefix.size();
        const bool fixedB = i < b.prefix.size();
        if (fixedA && fixedB) equal = a.prefix[i] == b.prefix[i];
        if (fixedA && !fixedB) equal = fits(a.prefix[i], b);
        if (!fixedA && fixedB) equal = fits(b.prefix[i], a);
      }
      if (equal) return true;
    }
  }
  return false;
}

}  // namespace

// A fleet token stands for a verified card. Refused: any configuration in
// which a token that proves nothing (a serial number, with fallback or from
// a serial reader, or a block's content) could be the same string as a
// fleet token of any reader of the service. The charging stack tells tokens
// apart by their text alone (OCPP 1.6 id tags carry no type).
//
// A DESFire serial-number token (desfire_token = "uid") is the very string
// a serial-number token of a copy of the card's serial number would be, on
// any reader: no reader of the service may publish serial-number tokens
// beside it, whatever the prefixes.
Fault checkFleetTokensStandApart(const std::vector<ReaderConfig>& readers) {
  for (const ReaderConfig& uid : readers) {
    if (uid.token != TokenSource::kDesfire || uid.desfireToken != DesfireToken::kUid) continue;
    for (const ReaderConfig& other : readers) {
      if (other.token != TokenSource::kSerial && !other.fallbackSerial) continue;
      const std::string whose =
          &other == &uid ? std::string("its own fallback = \"serial\"")
                         : "reader " + inQuotes(other.name) +
                               (other.fallbackSerial ? ", which falls back to serial numbers,"
                                                     : ", which publishes serial numbers,");
      return uid.origin +
             "desfire_token: \"uid\" publishes the card's serial number once the card proved "
             "its key, but " +
             whose +
             " would publish a copy's serial number as the same token without any proof; use "
             "desfire_token = \"file\" or serve serial-number tokens elsewhere";
    }
  }
  std::vector<TokenShape> fleet;
  std::vector<TokenShape> others;
  for (const ReaderConfig& reader : readers) {
    const TokenSource token = reader.token.value_or(TokenSource::kSerial);
    const TokenShape idShape =
        reader.tokenFormat == TokenFormat::kHex
            ? TokenShape{&reader, reader.tokenPrefix, {kFleetTokenHex}, kHexDigits, "fleet tokens"}
            : TokenShape{&reader,
                         reader.tokenPrefix,
                         {kLongestFleetDecimal},
                         kDecimalDigits,
                         "fleet tokens"};
    if (token == TokenSource::kFleet || reader.fallbackFleet) fleet.push_back(idShape);
    if (token == TokenSource::kDesfire) {
      fleet.push_back(reader.desfireToken == DesfireToken::kFile
                          ? idShape
                          : TokenShape{&reader,
                                       reader.tokenPrefix,
                                       {kLongestSerialHex},
                                       kHexDigits,
                                       "DESFire serial-number tokens"});
    }
    if (token == TokenSource::kSerial || reader.fallbackSerial) {
      others.push_back({&reader,
                        reader.tokenPrefix,
                        {8, kLongestSerialHex},
                        kHexDigits,
                        "serial-number tokens"});
    }
    if (const auto& source = reader.blockSource) {
      const std::size_t bytes = static_cast<std::size_t>(source->count) * kBlockBytes;
      TokenShape block{&reader, reader.tokenPrefix, {2 * bytes}, kHexDigits, "block tokens"};
      if (source->format == BlockFormat::kAscii) {
        block.lengths.clear();
        for (std::size_t length = 1; length <= bytes; ++length) block.lengths.push_back(length);
        block.characters = nullptr;
      }
      others.push_back(block);
    }
  }
  for (const TokenShape& card : fleet) {
    for (const TokenShape& other : others) {
      if (!mayBeEqual(card, other)) continue;
      const std::string whose = other.reader == card.reader
                                    ? "its own " + other.what
                                    : other.what + " of reader " + inQuotes(other.reader->name);
      return card.reader->origin +
             "token_prefix: a fleet token of this reader could be the same string as one of the " +
             whose +
             ", which any card can carry; give the readers token prefixes that tell "
             "them apart";
    }
  }
  return std::nullopt;
}

}  // namespace rfid_tokend
