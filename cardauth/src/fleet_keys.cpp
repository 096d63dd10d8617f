#include "rfid_cardauth/fleet_keys.h"

#include <toml++/toml.h>

#include "rfid_hex/hex.h"
#include "rfid_secrets/secret_file.h"

namespace rfid_cardauth {
namespace {

using Fault = std::optional<std::string>;

// A fleet key file is a few lines; anything far larger is not one.
constexpr std::size_t kMaxFileSize = 64 * 1024;
constexpr int kMaxKeyId = 255;

// Where a name read from the file stands. A fault never quotes what the file
// holds, not even a name: a key value written as a TOML key, with or without
// separators, would be shown whole. It names the line, and only the known
// keys by name.
std::string lineOf(const toml::key& key) {
  return "line " + std::to_string(key.source().begin.line);
}

Fault readAesKey(const toml::node& node, const std::string& name, AesKey& key) {
  const std::string* text = node.is_string() ? &node.as_string()->get() : nullptr;
  if (text == nullptr || !rfid_hex::parseHex(*text, key.data(), key.size())) {
    return name + " must be 32 hex digits in quotes (an AES-128 key)";
  }
  return std::nullopt;
}

std::optional<std::uint8_t> keyIdOf(const std::string& name) {
  if (name.empty() || name.size() > 3 || name[0] == '0') return std::nullopt;
  int id = 0;
  for (const char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    id = id * 10 + (c - '0');
  }
  if (id > kMaxKeyId) return std::nullopt;
  return static_cast<std::uint8_t>(id);
}

Fault readMacKeys(const toml::node& node, MacKeys& keys) {
  const toml::table* table = node.as_table();
  if (table == nullptr) return std::string("mac must be a table: [mac] with lines ID = \"HEX32\"");
  for (const auto& [key, value] : *table) {
    const std::string name(key.str());
    const std::optional<std::uint8_t> id = keyIdOf(name);
    if (!id) return lineOf(key) + ": a name in [mac] is not a key id 1 to 255";
    AesKey macKey;
    if (Fault fault = readAesKey(value, "mac." + name, macKey)) return fault;
    keys[*id] = macKey;
  }
  if (keys.empty()) return std::string("[mac] holds no key: add a line such as 1 = \"HEX32\"");
  return std::nullopt;
}

constexpr std::size_t kAidDigits = 6;

Fault readDesfire(const toml::node& node, FleetKeys& keys) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    return std::string("desfire must be a table: [desfire] with read_key = \"HEX32\"");
  }
  DesfireFleetKeys desfire;
  bool haveReadKey = false;
  for (const auto& [key, value] : *table) {
    const std::string name(key.str());
    if (name == "aid") {
      const std::string* text = value.is_string() ? &value.as_string()->get() : nullptr;
      std::uint8_t aid[3] = {};
      if (text == nullptr || text->size() != kAidDigits ||
          !rfid_hex::parseHex(*text, aid, sizeof aid) || (aid[0] | aid[1] | aid[2]) == 0) {
        return std::string(
            "desfire.aid must be 6 hex digits in quotes, most significant first, not 000000");
      }
      desfire.aid = static_cast<std::uint32_t>(aid[0]) << 16 |
                    static_cast<std::uint32_t>(aid[1]) << 8 | aid[2];
    } else if (name == "read_key") {
      if (Fault fault = readAesKey(value, "desfire.read_key", desfire.readKey)) return fault;
      haveReadKey = true;
    } else if (name == "master_key") {
      AesKey master;
      if (Fault fault = readAesKey(value, "desfire.master_key", master)) return fault;
      desfire.masterKey = master;
    } else {
      return lineOf(key) + ": unknown key in [desfire] (known: aid, read_key, master_key)";
    }
  }
  if (!haveReadKey) return std::string("[desfire] needs read_key, the chargers' key");
  keys.desfire = desfire;
  return std::nullopt;
}

Fault readFields(const toml::table& root, FleetKeys& keys) {
  bool haveKeyA = false;
  bool haveMac = false;
  for (const auto& [key, value] : root) {
    const std::string name(key.str());
    if (name == "system_id") {
      const std::string* text = value.is_string() ? &value.as_string()->get() : nullptr;
      if (text == nullptr || !isValidSystemId(*text)) {
        return std::string("system_id must be 10 to 16 printable ASCII characters in quotes");
      }
      keys.systemId = *text;
    } else if (name == "key_a" || name == "key_b") {
      AesKey read;
      if (Fault fault = readAesKey(value, name, read)) return fault;
      if (name == "key_a") {
        keys.keyA = read;
        haveKeyA = true;
      } else {
        keys.keyB = read;
      }
    } else if (name == "mac") {
      if (Fault fault = readMacKeys(value, keys.macKeys)) return fault;
      haveMac = true;
    } else if (name == "desfire") {
      if (Fault fault = readDesfire(value, keys)) return fault;
    } else {
      return lineOf(key) + ": unknown key (known: system_id, key_a, key_b, [mac], [desfire])";
    }
  }
  if (!haveKeyA) return std::string("key_a is missing");
  if (!haveMac) return std::string("[mac] is missing: the MAC keys by key id");
  return std::nullopt;
}

// Parsed strings are freed without being wiped: wipe them first.
void wipeStrings(toml::node& node) {
  if (toml::table* table = node.as_table()) {
    for (auto&& [key, value] : *table) wipeStrings(value);
  } else if (toml::array* array = node.as_array()) {
    for (toml::node& element : *array) wipeStrings(element);
  } else if (toml::value<std::string>* text = node.as_string()) {
    OPENSSL_cleanse(text->get().data(), text->get().size());
  }
}

}  // namespace

std::optional<std::string> parseFleetKeys(std::string_view text, FleetKeys& keys) {
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& error) {
    // The parser's description quotes the text it stumbled on.
    return "line " + std::to_string(error.source().begin.line) + ", column " +
           std::to_string(error.source().begin.column) + ": not valid TOML";
  }
  FleetKeys parsed;
  Fault fault = readFields(root, parsed);
  wipeStrings(root);
  if (!fault) keys = parsed;
  return fault;
}

const char* benchOnlyKey(const FleetKeys& keys) {
  if (keys.keyB) return "key_b";
  if (keys.desfire && keys.desfire->masterKey) return "desfire.master_key";
  return nullptr;
}

std::optional<std::string> readFleetKeys(const std::string& path, FleetKeys& keys) {
  rfid_secrets::SecretBuffer text;
  rfid_secrets::FileRules rules;
  rules.maxSize = kMaxFileSize;
  if (auto fault = rfid_secrets::readSecretFile(path, text, rules)) {
    return fault->describe("fleet key file");
  }
  if (Fault fault = parseFleetKeys(text.view(), keys))
    return "fleet key file " + path + ": " + *fault;
  return std::nullopt;
}

}  // namespace rfid_cardauth
