// Tokens as the charging stack receives them: the card's serial number in
// hex, or text read from card memory. Pure functions, no I/O.
#ifndef RFID_TOKEND_TOKEN_H
#define RFID_TOKEND_TOKEN_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

namespace rfid_tokend {

using Bytes = std::vector<std::uint8_t>;

// Upper-case hex, two digits a byte, leading zeros kept; in the order the
// reader sent the bytes, or reversed.
std::string serialToken(const Bytes& serial, bool reversed);

// The token of block data (whole blocks, 16 bytes each) in `format`. The
// ASCII form drops trailing NUL bytes and spaces (the padding of a short
// text); empty, or with a byte outside printable ASCII, it has no token.
std::optional<std::string> blockToken(const Bytes& data, BlockFormat format);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_TOKEN_H
