// Bounds on the configuration, checked before anything uses it: the TOML
// file's size and nesting before the parser sees it (the parser recurses
// once per level and would run out of stack), and every string setting's
// length before a worker is started or the broker is called with it.
#ifndef RFID_TOKEND_CONFIG_LIMITS_H
#define RFID_TOKEND_CONFIG_LIMITS_H

#include <cstddef>
#include <optional>
#include <string>

#include "config.h"

namespace rfid_tokend {

constexpr std::size_t kMaxConfigFileBytes = 1024 * 1024;
// Tables, arrays, inline tables and dotted key parts, counted together; the
// service's own settings go three deep.
constexpr int kMaxConfigNesting = 32;

constexpr std::size_t kMaxNameLength = 128;       // reader names: they go into every line
constexpr std::size_t kMaxHostLength = 253;       // a DNS name
constexpr std::size_t kMaxUsernameLength = 256;   // the broker's user name
constexpr std::size_t kMaxPasswordLength = 1024;  // the password file's first line
constexpr std::size_t kMaxTopicLength = 65535;    // what MQTT carries

// The fault of a TOML text longer than kMaxConfigFileBytes or nested deeper
// than kMaxConfigNesting; `source` names the file.
std::optional<std::string> checkConfigText(const std::string& text, const std::string& source);

// The first string setting over its bound, named as its other faults name it.
std::optional<std::string> checkStringLengths(const Config& config);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_CONFIG_LIMITS_H
