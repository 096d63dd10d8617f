// What the service asks of a key file beyond its content, at start and at
// every reload.
#ifndef RFID_TOKEND_KEY_FILE_CHECK_H
#define RFID_TOKEND_KEY_FILE_CHECK_H

#include <cstddef>
#include <optional>
#include <string>

namespace rfid_tokend {

// A key file holds at most 16 sectors' keys and comments: anything larger
// is not one.
constexpr std::size_t kLongestKeyFile = 64 * 1024;

// The fault, starting with the path, when the file at `path` is larger than
// kLongestKeyFile or owned by a user other than this process's or root
// (another user could replace the keys); nothing when it is fine or cannot
// be examined (reading it then names the fault).
std::optional<std::string> keyFileFault(const std::string& path);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_KEY_FILE_CHECK_H
