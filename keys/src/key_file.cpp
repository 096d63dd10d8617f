#include "rfid_keys/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "Module_RFID.h"
#include "rfid_hex/hex.h"
#include "rfid_secrets/secret_file.h"
#include "rfid_serial/unique_fd.h"

namespace rfid_keys {
namespace {

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Hands each line of `text` that holds more than blanks and a '#' comment to
// `handle`, trimmed. Stops at the first fault and returns it as
// "line N: fault".
template <typename Handle>
std::optional<std::string> forEachEntry(std::string_view text, Handle handle) {
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    const std::string_view entry = trim(line.substr(0, line.find('#')));
    if (entry.empty()) continue;
    if (std::optional<std::string> fault = handle(entry)) {
      return "line " + std::to_string(number) + ": " + *fault;
    }
  }
  return std::nullopt;
}

// Key files are secrets: the one reader's rules hold, mode 0600 unless the
// caller allows more.
rfid_secrets::FileRules keyFileRules(bool privateOnly) {
  rfid_secrets::FileRules rules;
  rules.maxSize = kLongestKeyFile;
  rules.privateMode = privateOnly;
  return rules;
}

// A dictionary is a public list: any owner and mode, and room for the
// largest lists in use.
rfid_secrets::FileRules dictionaryRules() {
  return rfid_secrets::FileRules{kLongestKeyList, false, false};
}

std::optional<std::string> readContent(const std::string& path, const char* what,
                                       const rfid_secrets::FileRules& rules,
                                       rfid_secrets::SecretBuffer& content) {
  if (auto fault = rfid_secrets::readSecretFile(path, content, rules)) {
    return fault->describe(what);
  }
  return std::nullopt;
}

bool isControlByte(unsigned char c) {
  return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
}

// Printable ASCII and line ends only.
bool isPlainText(std::string_view content) {
  return std::all_of(content.begin(), content.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x80 && !isControlByte(byte);
  });
}

SectorKeys binaryKeys(std::string_view content, std::size_t offset) {
  SectorKeys keys;
  for (int sector = 0; sector < kSectorCount; ++sector) {
    keys[sector] = Key{};
    std::memcpy(keys[sector]->data(), content.data() + offset + sector * kKeySize, kKeySize);
  }
  return keys;
}

// Replaces `path` whole with `content`, mode 0600: written beside the target
// and renamed over it, so a reader never sees half a file, and created 0600
// so the keys are never readable by others.
std::optional<std::string> writePrivately(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp";
  {
    const rfid_serial::UniqueFd file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file.valid()) return "cannot write key file " + path + ": " + std::strerror(errno);
    if (::fchmod(file.get(), 0600) != 0 || ::write(file.get(), content.data(), content.size()) !=
                                               static_cast<ssize_t>(content.size())) {
      const std::string reason = std::strerror(errno);
      ::unlink(temporary.c_str());
      return "cannot write key file " + path + ": " + reason;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(temporary.c_str());
    return "cannot write key file " + path + ": " + reason;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Key> parseKey(std::string_view hex) {
  return rfid_hex::parseHex<kKeySize>(hex);
}

std::optional<std::string> parseKeyFile(std::string_view text, SectorKeys& keys) {
  SectorKeys parsed{};
  const std::optional<std::string> fault =
      forEachEntry(text, [&parsed](std::string_view entry) -> std::optional<std::string> {
        const std::size_t colon = entry.find(':');
        if (colon == std::string::npos) return "expected SECTOR:KEY (e.g. 1:FFFFFFFFFFFF)";
        const std::optional<int> sector =
            rfid_hex::smallDecimal(trim(entry.substr(0, colon)), kSectorCount, true);
        if (!sector) return "the sector must be 0 to 15";
        const std::optional<Key> key = parseKey(trim(entry.substr(colon + 1)));
        if (!key) return "the key must be 12 hex digits";
        if (parsed[*sector]) return "sector " + std::to_string(*sector) + " is given twice";
        parsed[*sector] = key;
        return std::nullopt;
      });
  if (!fault) keys = parsed;
  return fault;
}

std::optional<std::string> readKeyFile(const std::string& path, bool privateOnly,
                                       SectorKeys& keys) {
  rfid_secrets::SecretBuffer text;
  if (auto fault = readContent(path, "key file", keyFileRules(privateOnly), text)) return fault;
  if (const std::optional<std::string> fault = parseKeyFile(text.view(), keys)) {
    return "key file " + path + ", " + *fault;
  }
  return std::nullopt;
}

std::optional<std::string> parseKeyList(std::string_view text, std::vector<Key>& keys) {
  std::vector<Key> parsed;
  const std::optional<std::string> fault =
      forEachEntry(text, [&parsed](std::string_view entry) -> std::optional<std::string> {
        const std::optional<Key> key = parseKey(entry);
        if (!key) return "a key is 12 hex digits";
        if (std::find(parsed.begin(), parsed.end(), *key) == parsed.end()) parsed.push_back(*key);
        return std::nullopt;
      });
  if (!fault) keys = parsed;
  return fault;
}

std::optional<std::string> readKeyList(const std::string& path, std::vector<Key>& keys) {
  rfid_secrets::SecretBuffer text;
  if (auto fault = readContent(path, "key dictionary", dictionaryRules(), text)) return fault;
  if (const std::optional<std::string> fault = parseKeyList(text.view(), keys)) {
    return "key dictionary " + path + ", " + *fault;
  }
  return std::nullopt;
}

std::string formatKeyFile(const SectorKeys& keys) {
  std::string text = "# sector:key\n";
  for (int sector = 0; sector < kSectorCount; ++sector) {
    if (keys[sector]) text += std::to_string(sector) + ":" + rfid_hex::toHex(*keys[sector]) + "\n";
  }
  return text;
}

std::optional<std::string> writeKeyFile(const std::string& path, const SectorKeys& keys) {
  return writePrivately(path, formatKeyFile(keys));
}

std::optional<std::string> parseKeyFile(std::string_view content, KeyFileKeys& keys) {
  const bool sized = content.size() == kBinaryKeysASize || content.size() == kBinaryKeyFileSize;
  const bool controlBytes = std::any_of(content.begin(), content.end(), [](char c) {
    return isControlByte(static_cast<unsigned char>(c));
  });
  SectorKeys textKeys;
  std::optional<std::string> textFault = parseKeyFile(content, textKeys);
  if (!textFault && !controlBytes) {
    keys = KeyFileKeys{false, textKeys, std::nullopt};
    return std::nullopt;
  }
  if (sized && !isPlainText(content)) {
    keys.binary = true;
    keys.keys = binaryKeys(content, 0);
    keys.keysB.reset();
    if (content.size() == kBinaryKeyFileSize) keys.keysB = binaryKeys(content, kBinaryKeysASize);
    return std::nullopt;
  }
  if (isPlainText(content)) return textFault;
  return "holds " + std::to_string(content.size()) +
         " bytes: neither SECTOR:HEX12 lines nor a binary key file (192 bytes: 16 keys A, "
         "then 16 keys B; 96 bytes: keys A only)";
}

std::optional<std::string> readKeyFile(const std::string& path, bool privateOnly,
                                       KeyFileKeys& keys) {
  rfid_secrets::SecretBuffer content;
  if (auto fault = readContent(path, "key file", keyFileRules(privateOnly), content)) return fault;
  if (const std::optional<std::string> fault = parseKeyFile(content.view(), keys)) {
    return "key file " + path + (fault->rfind("line ", 0) == 0 ? ", " : " ") + *fault;
  }
  return std::nullopt;
}

std::optional<std::string> keysForSelector(const KeyFileKeys& file, int keySelector,
                                           SectorKeys& keys) {
  if (!file.binary) {
    keys = file.keys;
  } else if (keySelector == 0) {
    keys = file.keys;
  } else if (keySelector == 1 && file.keysB) {
    keys = *file.keysB;
  } else if (keySelector == 1) {
    return std::string("holds keys A only (96 bytes): --key-selector 1 needs keys B");
  } else {
    return std::string(
        "is a binary key file of keys A and B: use --key-selector 0 (key A) or 1 (key B)");
  }
  return std::nullopt;
}

bool isBinaryKeyFileName(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == "bin";
}

std::string formatBinaryKeyFile(const SectorKeys& keysA, const SectorKeys& keysB) {
  const Key unknown = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::string content;
  for (const SectorKeys* half : {&keysA, &keysB}) {
    for (const std::optional<Key>& key : *half) {
      const Key& bytes = key ? *key : unknown;
      content.append(bytes.begin(), bytes.end());
    }
  }
  return content;
}

std::optional<std::string> writeBinaryKeyFile(const std::string& path, const SectorKeys& keysA,
                                              const SectorKeys& keysB) {
  return writePrivately(path, formatBinaryKeyFile(keysA, keysB));
}

void loadIntoModule(const SectorKeys& keys) {
  for (int sector = 0; sector < kSectorCount; ++sector) {
    if (keys[sector]) std::memcpy(sectorKeyA[sector], keys[sector]->data(), kKeySize);
  }
}

}  // namespace rfid_keys
