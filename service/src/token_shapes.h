// Whether the tokens of the service's readers stand apart: a fleet token
// stands for a verified card, and no token that proves nothing may be the
// same string. The lengths of the tokens a reader makes.
#ifndef RFID_TOKEND_TOKEN_SHAPES_H
#define RFID_TOKEND_TOKEN_SHAPES_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

namespace rfid_tokend {

constexpr std::size_t kLongestSerialHex = 14;  // 7 bytes
constexpr std::size_t kFleetTokenHex = 12;     // 6 bytes
// Decimal fleet tokens always have 15 digits, zero-padded: 2^48 - 1 is
// 281474976710655, and no serial-number token has 15 characters.
constexpr std::size_t kLongestFleetDecimal = 15;

// The fault of readers whose fleet tokens some other token could equal,
// naming the reader's token_prefix or desfire_token (below).
std::optional<std::string> checkFleetTokensStandApart(const std::vector<ReaderConfig>& readers);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_TOKEN_SHAPES_H
