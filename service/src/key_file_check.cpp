#include "key_file_check.h"

#include <sys/stat.h>
#include <unistd.h>

namespace rfid_tokend {

std::optional<std::string> keyFileFault(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  if (info.st_uid != ::geteuid() && info.st_uid != 0) {
    return path + ": owned by user " + std::to_string(info.st_uid) +
           ", neither this service's user nor root";
  }
  if (S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) > kLongestKeyFile) {
    return path + ": " + std::to_string(info.st_size) + " bytes, more than a key file's " +
           std::to_string(kLongestKeyFile);
  }
  return std::nullopt;
}

}  // namespace rfid_tokend
