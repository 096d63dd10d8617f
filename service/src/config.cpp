#include "config.h"

#include <sys/stat.h>
#include <toml++/toml.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "Module_RFID_ext.h"
#include "config_limits.h"
#include "rfid_serial/serial_port.h"

namespace rfid_tokend {
namespace {

using Fault = std::optional<std::string>;

constexpr int kBlockCount = RFID_BLOCK_COUNT;
constexpr int kBlocksPerSector = RFID_BLOCKS_PER_SECTOR;
constexpr int kMaxBlocksPerToken = 3;  // the data blocks of one sector
constexpr std::size_t kBlockBytes = RFID_BLOCK_SIZE;
constexpr std::size_t kLongestSerialHex = 14;  // 7 bytes
constexpr std::size_t kFleetTokenHex = 12;     // 6 bytes
// Decimal fleet tokens always have 15 digits, zero-padded: 2^48 - 1 is
// 281474976710655, and no serial-number token has 15 characters.
constexpr std::size_t kLongestFleetDecimal = 15;
constexpr int kDefaultPort = 1883;
constexpr int kDefaultTlsPort = 8883;

// The token types the charging stack knows (OCPP's IdTokenType).
const std::set<std::string> kTokenTypes = {"Central", "eMAID",      "ISO14443",        "ISO15693",
                                           "KeyCode", "MacAddress", "NoAuthorization", "Local"};

std::string inQuotes(const std::string& text) {
  return "\"" + text + "\"";
}

bool isPrintableAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// A topic level as the broker takes it: not empty, no separator, no wildcard.
bool isTopicLevel(const std::string& text) {
  return !text.empty() && text.find_first_of("/+#") == std::string::npos && isPrintableAscii(text);
}

bool isTopicPrefix(const std::string& text) {
  return !text.empty() && text.front() != '/' && text.back() != '/' &&
         text.find_first_of("+#") == std::string::npos && isPrintableAscii(text);
}

// ---- TOML ------------------------------------------------------------------

// Reads typed values out of one table, naming `where` (e.g. "f.toml:
// reader[2].") in every fault.
class TableReader {
 public:
  TableReader(const toml::table& table, std::string where)
      : table_(table), where_(std::move(where)) {}

  Fault unknownKeys(const std::set<std::string>& known) const {
    for (const auto& [key, node] : table_) {
      if (known.count(std::string(key.str())) == 0) {
        return where_ + std::string(key.str()) + ": unknown key";
      }
    }
    return std::nullopt;
  }

  Fault string(const char* key, std::string& out) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_string()) return fault(key, "must be a string");
    out = node->as_string()->get();
    return std::nullopt;
  }

  Fault boolean(const char* key, bool& out) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_boolean()) return fault(key, "must be true or false");
    out = node->as_boolean()->get();
    return std::nullopt;
  }

  Fault integer(const char* key, int& out, long min, long max) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_integer()) return fault(key, "must be an integer");
    const auto value = node->as_integer()->get();
    if (value < min || value > max) {
      return fault(key, std::to_string(value) + " is out of range (" + std::to_string(min) +
                            " to " + std::to_string(max) + ")");
    }
    out = static_cast<int>(value);
    return std::nullopt;
  }

  Fault seconds(const char* key, double& out) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    if (node->is_integer()) {
      out = static_cast<double>(node->as_integer()->get());
    } else if (node->is_floating_point()) {
      out = node->as_floating_point()->get();
    } else {
      return fault(key, "must be a number of seconds");
    }
    return std::nullopt;
  }

  Fault integerList(const char* key, std::vector<int>& out) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    const toml::array* array = node->as_array();
    if (array == nullptr) return fault(key, "must be a list of integers");
    out.clear();
    for (const toml::node& item : *array) {
      if (!item.is_integer()) return fault(key, "must be a list of integers");
      const auto value = item.as_integer()->get();
      if (value < 1 || value > 1000) {
        return fault(key, std::to_string(value) + " is not a connector id (1 to 1000)");
      }
      if (std::find(out.begin(), out.end(), value) != out.end()) {
        return fault(key, "connector " + std::to_string(value) + " is given twice");
      }
      out.push_back(static_cast<int>(value));
    }
    return std::nullopt;
  }

  std::string fault(const char* key, const std::string& what) const {
    return where_ + key + ": " + what;
  }

 private:
  const toml::table& table_;
  std::string where_;
};

// Runs the steps in order and stops at the first fault.
template <typename... Steps>
Fault firstFault(Steps&&... steps) {
  Fault fault;
  (void)((fault = steps(), !fault.has_value()) && ...);
  return fault;
}

// A reader's token source and the settings of fleet and DESFire tokens, by
// name.
Fault applyFleetKeys(const TableReader& in, const std::string& token,
                     const std::string& tokenFormat, const std::string& fallback,
                     const std::string& desfireToken, ReaderConfig& reader) {
  if (!token.empty()) {
    const TokenSource sources[] = {TokenSource::kSerial, TokenSource::kBlock, TokenSource::kFleet,
                                   TokenSource::kDesfire};
    for (const TokenSource source : sources) {
      if (token == tokenSourceName(source)) reader.token = source;
    }
    if (!reader.token) {
      return in.fault("token",
                      "unknown source " + inQuotes(token) + " (serial, block, fleet or desfire)");
    }
  }
  if (desfireToken == "uid") {
    reader.desfireToken = DesfireToken::kUid;
  } else if (!desfireToken.empty() && desfireToken != "file") {
    return in.fault("desfire_token", "unknown form " + inQuotes(desfireToken) + " (uid or file)");
  }
  if (tokenFormat == "decimal") {
    reader.tokenFormat = TokenFormat::kDecimal;
  } else if (!tokenFormat.empty() && tokenFormat != "hex") {
    return in.fault("token_format", "unknown form " + inQuotes(tokenFormat) + " (hex or decimal)");
  }
  if (fallback == "serial") {
    reader.fallbackSerial = true;
  } else if (fallback == "fleet") {
    reader.fallbackFleet = true;
  } else if (!fallback.empty()) {
    return in.fault("fallback", "unknown fallback " + inQuotes(fallback) + " (serial or fleet)");
  }
  return std::nullopt;
}

Fault applyReaderTable(const toml::table& table, const std::string& where, ReaderConfig& reader) {
  const TableReader in(table, where);
  std::string model;
  std::string format;
  std::string token;
  std::string tokenFormat;
  std::string fallback;
  std::string desfireToken;
  bool reverse = false;
  bool refusedSound = true;
  bool hasBlock = table.contains("block");
  BlockSource source;
  Fault fault = firstFault(
      [&] {
        return in.unknownKeys({"model", "path", "name", "baud", "connectors", "reverse_bytes",
                               "token_type", "token_prefix", "block", "block_count", "block_format",
                               "token", "token_format", "fallback", "refused_sound",
                               "desfire_token", "desfire_get_sak"});
      },
      [&] { return in.string("model", model); }, [&] { return in.string("path", reader.path); },
      [&] { return in.string("name", reader.name); },
      [&] { return in.integer("baud", reader.baud, 1, 4000000); },
      [&] { return in.integerList("connectors", reader.connectors); },
      [&] { return in.boolean("reverse_bytes", reverse); },
      [&] { return in.string("token_type", reader.tokenType); },
      [&] { return in.string("token_prefix", reader.tokenPrefix); },
      [&] { return in.integer("block", source.block, 0, kBlockCount - 1); },
      [&] { return in.integer("block_count", source.count, 1, kMaxBlocksPerToken); },
      [&] { return in.string("block_format", format); }, [&] { return in.string("token", token); },
      [&] { return in.string("token_format", tokenFormat); },
      [&] { return in.string("fallback", fallback); },
      [&] { return in.boolean("refused_sound", refusedSound); },
      [&] { return in.string("desfire_token", desfireToken); },
      [&] { return in.boolean("desfire_get_sak", reader.desfireGetSak); });
  if (fault) return fault;
  if ((fault = applyFleetKeys(in, token, tokenFormat, fallback, desfireToken, reader))) {
    return fault;
  }
  if (token != "desfire" && (!desfireToken.empty() || table.contains("desfire_get_sak"))) {
    return where +
           "desfire_token: desfire_token and desfire_get_sak are settings of token = "
           "\"desfire\"";
  }
  if (table.contains("refused_sound")) reader.refusedSound = refusedSound;
  if (!table.contains("model")) return where + "model: missing (vor or elatec)";
  const auto parsedModel = modelFromName(model);
  if (!parsedModel)
    return in.fault("model", "unknown model " + inQuotes(model) + " (vor or elatec)");
  reader.model = *parsedModel;
  if (reader.path.empty()) return where + "path: missing (the reader's serial port)";
  if (table.contains("reverse_bytes")) reader.reverseBytes = reverse;
  if (!format.empty()) {
    if (format == "hex") {
      source.format = BlockFormat::kHex;
    } else if (format == "ascii") {
      source.format = BlockFormat::kAscii;
    } else {
      return in.fault("block_format", "unknown form " + inQuotes(format) + " (hex or ascii)");
    }
  }
  if (!hasBlock && (table.contains("block_count") || table.contains("block_format"))) {
    return where + "block: missing (block_count and block_format describe a block token)";
  }
  if (hasBlock) reader.blockSource = source;
  reader.origin = where;
  return std::nullopt;
}

Fault applyMqttTable(const toml::table& table, const std::string& where, MqttConfig& mqtt) {
  const TableReader in(table, where);
  std::string host;
  Fault fault = firstFault(
      [&] {
        return in.unknownKeys({"host", "port", "module_id", "topic_prefix", "consumer_id",
                               "consumer_prefix", "username", "password_file", "cafile", "certfile",
                               "keyfile", "communication_check_interval", "heartbeat_timeout",
                               "max_token_age", "keepalive"});
      },
      [&] { return in.string("host", host); },
      [&] { return in.integer("port", mqtt.port, 1, 65535); },
      [&] { return in.string("module_id", mqtt.moduleId); },
      [&] { return in.string("topic_prefix", mqtt.topicPrefix); },
      [&] { return in.string("consumer_id", mqtt.consumerId); },
      [&] { return in.string("consumer_prefix", mqtt.consumerPrefix); },
      [&] { return in.string("username", mqtt.username); },
      [&] { return in.string("password_file", mqtt.passwordFile); },
      [&] { return in.string("cafile", mqtt.caFile); },
      [&] { return in.string("certfile", mqtt.certFile); },
      [&] { return in.string("keyfile", mqtt.keyFile); },
      [&] { return in.seconds("communication_check_interval", mqtt.communicationCheckSeconds); },
      [&] { return in.seconds("heartbeat_timeout", mqtt.heartbeatTimeoutSeconds); },
      [&] { return in.seconds("max_token_age", mqtt.maxTokenAgeSeconds); },
      [&] { return in.integer("keepalive", mqtt.keepaliveSeconds, 5, 3600); });
  if (fault) return fault;
  if (!host.empty()) {
    mqtt.host = host;
    mqtt.enabled = true;
  }
  return std::nullopt;
}

// ---- Checks of the finished configuration ------------------------------------

// The flag or key where a reader's path was given, e.g. "--reader vor:/dev/ttyS0"
// or "FILE: reader[2].path".
std::string originName(const ReaderConfig& reader) {
  const std::string& origin = reader.origin;
  if (origin.size() >= 2 && origin.compare(origin.size() - 2, 2, ": ") == 0) {
    return origin.substr(0, origin.size() - 2);
  }
  return origin + "path";
}

// What a port path leads to: the device it opens (through any links and
// repeated slashes), or the path itself, tidied, while nothing is there.
std::string portIdentity(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISCHR(info.st_mode)) return "device " + std::to_string(info.st_rdev);
    return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  return "path " + std::filesystem::path(path).lexically_normal().string();
}

Fault checkRange(const std::string& what, double value, double min, double max) {
  if (std::isfinite(value) && value >= min && value <= max) return std::nullopt;
  std::ostringstream text;
  text << what << ": " << value << " is out of range (" << min << " to " << max << ")";
  return text.str();
}

// The token source a reader ends with, and the settings that only fit
// another source.
Fault finishTokenSource(ReaderConfig& reader, const Config& config) {
  const std::string& where = reader.origin;
  if (!reader.token) {
    reader.token = reader.blockSource         ? TokenSource::kBlock
                   : config.fleetKeys.empty() ? TokenSource::kSerial
                                              : TokenSource::kFleet;
  }
  const TokenSource token = *reader.token;
  if (token == TokenSource::kBlock && !reader.blockSource) {
    return where + "block: missing (token = \"block\" reads the block it names)";
  }
  if (token != TokenSource::kBlock && reader.blockSource) {
    return where +
           "block: describes a block token, but token = " + inQuotes(tokenSourceName(token));
  }
  const bool verified = token == TokenSource::kFleet || token == TokenSource::kDesfire;
  if (verified && config.fleetKeys.empty()) {
    return where + "token: " + inQuotes(tokenSourceName(token)) +
           " needs the fleet key file (fleet_keys or --fleet-keys)";
  }
  if (token == TokenSource::kDesfire && reader.model != ReaderModel::kElatec) {
    return where +
           "token: \"desfire\" needs an elatec reader (DESFire cards are read through the "
           "Elatec reader's ISO 14443-4 exchange, which the vor reader does not offer)";
  }
  if (!verified && (reader.fallbackSerial || reader.tokenFormat != TokenFormat::kHex)) {
    return where + "fallback: fallback and token_format are settings of fleet tokens";
  }
  if (reader.fallbackFleet && !reader.desfireGetSak) {
    return where +
           "desfire_get_sak: false does not go with fallback = \"fleet\": a Classic card is told "
           "by its SAK, not by a refused ISO 14443-4 exchange, after which a reader may have "
           "deselected it";
  }
  if (reader.fallbackFleet && token != TokenSource::kDesfire) {
    return where +
           "fallback: \"fleet\" is a fallback of token = \"desfire\" (fleet tokens are "
           "read anyway)";
  }
  if (!reader.refusedSound) reader.refusedSound = config.refusedSound;
  return std::nullopt;
}

Fault finishReader(ReaderConfig& reader, const Config& config) {
  const std::string& where = reader.origin;
  if (reader.baud == 0) reader.baud = config.baud;
  if (rfid_serial::baudConstant(reader.baud) == 0) {
    return where + "baud: " + std::to_string(reader.baud) +
           " is not offered (the standard rates from 1200 to 230400)";
  }
  if (!reader.reverseBytes) reader.reverseBytes = config.reverseBytes;
  if (reader.name.empty()) reader.name = reader.path;
  if (!isPrintableAscii(reader.name)) return where + "name: must be printable ASCII";
  if (Fault fault = finishTokenSource(reader, config)) return fault;
  if (!reader.tokenType.empty()) reader.fleetTokenType = reader.tokenType;
  if (reader.tokenType.empty()) {
    const bool serialNumber =
        *reader.token == TokenSource::kSerial ||
        (*reader.token == TokenSource::kDesfire && reader.desfireToken == DesfireToken::kUid);
    reader.tokenType = serialNumber ? "ISO14443" : "Local";
  }
  if (kTokenTypes.count(reader.tokenType) == 0) {
    return where + "token_type: unknown type " + inQuotes(reader.tokenType) +
           " (ISO14443, ISO15693, Local, KeyCode, Central, eMAID, MacAddress, NoAuthorization)";
  }
  if (!isPrintableAscii(reader.tokenPrefix)) return where + "token_prefix: must be printable ASCII";
  if (const auto& source = reader.blockSource) {
    const int last = source->block + source->count - 1;
    if (last >= kBlockCount || source->block / kBlocksPerSector != last / kBlocksPerSector) {
      return where + "block_count: blocks " + std::to_string(source->block) + " to " +
             std::to_string(last) + " are not in one sector";
    }
    if (last % kBlocksPerSector == kBlocksPerSector - 1) {
      return where + "block: block " + std::to_string(last) +
             " is a sector trailer (keys and access bits), not data";
    }
  }
  const std::size_t longest = longestToken(reader);
  if (longest > kMaxTokenLength) {
    return where + "token: would be up to " + std::to_string(longest) +
           " characters, more than the " + std::to_string(kMaxTokenLength) + " a token may have";
  }
  return std::nullopt;
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

Fault finishMqtt(MqttConfig& mqtt) {
  const bool anySetting =
      !mqtt.moduleId.empty() || !mqtt.consumerId.empty() || !mqtt.username.empty() ||
      !mqtt.caFile.empty() || !mqtt.topicPrefix.empty() || !mqtt.consumerPrefix.empty() ||
      !mqtt.passwordFile.empty() || !mqtt.certFile.empty() || !mqtt.keyFile.empty();
  if (!mqtt.enabled) {
    if (!mqtt.fileSettings.empty()) {
      return mqtt.fileSettings + "host: missing (the file has MQTT settings but names no broker)";
    }
    if (anySetting) return std::string("--mqtt: broker settings are given but no broker (HOST)");
    return std::nullopt;
  }
  if (mqtt.moduleId.empty()) {
    return std::string(
        "--module-id: missing (the module id the charging stack knows "
        "this token provider by)");
  }
  if (!isTopicLevel(mqtt.moduleId)) {
    return "--module-id: " + inQuotes(mqtt.moduleId) + " is not a topic level (no /, + or #)";
  }
  if (!mqtt.consumerId.empty() && !isTopicLevel(mqtt.consumerId)) {
    return "--consumer-id: " + inQuotes(mqtt.consumerId) + " is not a topic level (no /, + or #)";
  }
  if (mqtt.topicPrefix.empty()) {
    mqtt.topicPrefix = "everest_api/1/auth_token_provider/" + mqtt.moduleId;
  }
  if (!isTopicPrefix(mqtt.topicPrefix)) {
    return "--topic-prefix: " + inQuotes(mqtt.topicPrefix) +
           " is not a topic prefix (no wildcards, no leading or trailing /)";
  }
  if (mqtt.consumerPrefix.empty() && !mqtt.consumerId.empty()) {
    mqtt.consumerPrefix = "everest_api/1/auth_consumer/" + mqtt.consumerId;
  }
  if (!mqtt.consumerPrefix.empty() && !isTopicPrefix(mqtt.consumerPrefix)) {
    return "--consumer-prefix: " + inQuotes(mqtt.consumerPrefix) +
           " is not a topic prefix (no wildcards, no leading or trailing /)";
  }
  if (!mqtt.passwordFile.empty() && mqtt.username.empty()) {
    return std::string("--mqtt-password-file: needs --mqtt-username");
  }
  if ((!mqtt.certFile.empty() || !mqtt.keyFile.empty()) && mqtt.caFile.empty()) {
    return std::string("--mqtt-certfile: a client certificate needs TLS (--mqtt-cafile)");
  }
  if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
    return std::string("--mqtt-keyfile: a client certificate and its key go together");
  }
  if (mqtt.port == 0) mqtt.port = mqtt.caFile.empty() ? kDefaultPort : kDefaultTlsPort;
  return firstFault(
      [&] {
        return checkRange("--communication-check-interval", mqtt.communicationCheckSeconds, 0.1,
                          60);
      },
      [&] { return checkRange("--heartbeat-timeout", mqtt.heartbeatTimeoutSeconds, 0.5, 3600); },
      [&] { return checkRange("--max-token-age", mqtt.maxTokenAgeSeconds, 0.1, 3600); });
}

}  // namespace

const char* tokenSourceName(TokenSource source) {
  switch (source) {
    case TokenSource::kSerial:
      return "serial";
    case TokenSource::kBlock:
      return "block";
    case TokenSource::kFleet:
      return "fleet";
    case TokenSource::kDesfire:
      return "desfire";
  }
  return "serial";
}

std::size_t longestToken(const ReaderConfig& reader) {
  std::size_t value = kLongestSerialHex;
  const std::size_t fleet =
      reader.tokenFormat == TokenFormat::kHex ? kFleetTokenHex : kLongestFleetDecimal;
  if (reader.token == TokenSource::kFleet) {
    value = reader.fallbackSerial ? std::max(value, fleet) : fleet;
  }
  if (reader.token == TokenSource::kDesfire) {
    value = reader.desfireToken == DesfireToken::kUid ? kLongestSerialHex : fleet;
    if (reader.fallbackSerial) value = std::max(value, kLongestSerialHex);
    if (reader.fallbackFleet) value = std::max(value, fleet);
  }
  if (const auto& source = reader.blockSource) {
    const std::size_t bytes = static_cast<std::size_t>(source->count) * kBlockBytes;
    value = source->format == BlockFormat::kHex ? 2 * bytes : bytes;
  }
  return reader.tokenPrefix.size() + value;
}

std::optional<std::string> parseReaderFlag(const std::string& flag, ReaderConfig& reader) {
  const std::string where = "--reader " + inQuotes(flag) + ": ";
  const std::size_t colon = flag.find(':');
  if (colon == std::string::npos) return where + "expected MODEL:PATH, e.g. elatec:/dev/ttyUSB0";
  const std::string model = flag.substr(0, colon);
  const auto parsed = modelFromName(model);
  if (!parsed) return where + "unknown model " + inQuotes(model) + " (vor or elatec)";
  reader.model = *parsed;
  reader.path = flag.substr(colon + 1);
  if (reader.path.empty()) return where + "missing path (the reader's serial port)";
  reader.origin = "--reader " + flag + ": ";
  return std::nullopt;
}

std::optional<std::string> parseBrokerAddress(const std::string& text, MqttConfig& mqtt) {
  const std::string where = "--mqtt " + inQuotes(text) + ": ";
  std::string host = text;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return where + "expected [ADDRESS]:PORT";
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return where + "expected [ADDRESS]:PORT";
      port = text.substr(close + 2);
      if (port.empty()) return where + "missing port after ':'";
    }
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return where + "missing port after ':'";
  }
  if (host.empty()) return where + "missing host";
  if (!port.empty()) {
    const bool digits = port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) {
                          return c >= '0' && c <= '9';
                        });
    const long value = digits ? std::stol(port) : 0;
    if (!digits || value < 1 || value > 65535) {
      return where + "port " + inQuotes(port) + " is not a number from 1 to 65535";
    }
    mqtt.port = static_cast<int>(value);
  }
  mqtt.host = host;
  mqtt.enabled = true;
  return std::nullopt;
}

std::optional<std::string> applyToml(const std::string& text, const std::string& source,
                                     Config& config) {
  if (Fault fault = checkConfigText(text, source)) return fault;
  toml::table root;
  try {
    root = toml::parse(text, source);
  } catch (const toml::parse_error& error) {
    const toml::source_position begin = error.source().begin;
    return source + ":" + std::to_string(begin.line) + ":" + std::to_string(begin.column) + ": " +
           std::string(error.description());
  }
  const std::string where = source + ": ";
  const TableReader in(root, where);
  if (root.contains("debounce_polls") && root.contains("debounce_ms")) {
    return where + "debounce_ms: give debounce_polls or debounce_ms, not both";
  }
  // Counted polls replace the timed default.
  if (root.contains("debounce_polls")) config.debounceMs = 0;
  std::string replyWait = config.quietWait ? "quiet" : "fixed";
  Fault fault = firstFault(
      [&] {
        return in.unknownKeys({"jsonl", "log_dir", "keys", "baud", "reverse_bytes",
                               "debounce_polls", "debounce_ms", "reply_wait", "quiet_ms",
                               "min_poll_ms", "mqtt", "reader", "fleet_keys", "refused_sound"});
      },
      [&] { return in.string("fleet_keys", config.fleetKeys); },
      [&] { return in.boolean("refused_sound", config.refusedSound); },
      [&] { return in.string("reply_wait", replyWait); },
      [&] {
        return replyWait == "fixed" || replyWait == "quiet"
                   ? Fault()
                   : in.fault("reply_wait", inQuotes(replyWait) + " is not fixed or quiet");
      },
      [&] { return in.integer("quiet_ms", config.quietMs, 1, 100); },
      [&] { return in.integer("min_poll_ms", config.minPollMs, 0, 60000); },
      [&] { return in.boolean("jsonl", config.jsonl); },
      [&] { return in.string("log_dir", config.logDir); },
      [&] { return in.string("keys", config.keyFile); },
      [&] { return in.integer("baud", config.baud, 1, 4000000); },
      [&] { return in.boolean("reverse_bytes", config.reverseBytes); },
      [&] { return in.integer("debounce_polls", config.debouncePolls, 1, 1000); },
      [&] { return in.integer("debounce_ms", config.debounceMs, 1, 600000); });
  if (fault) return fault;
  config.quietWait = replyWait == "quiet";

  if (const toml::node* mqtt = root.get("mqtt")) {
    if (!mqtt->is_table()) return where + "mqtt: must be a table ([mqtt])";
    if ((fault = applyMqttTable(*mqtt->as_table(), where + "mqtt.", config.mqtt))) return fault;
    if (!mqtt->as_table()->empty()) config.mqtt.fileSettings = where + "mqtt.";
  }
  if (const toml::node* readers = root.get("reader")) {
    const toml::array* list = readers->as_array();
    if (list == nullptr || !list->is_array_of_tables()) {
      return where + "reader: must be a list of tables ([[reader]])";
    }
    for (std::size_t i = 0; i < list->size(); ++i) {
      ReaderConfig reader;
      const std::string at = where + "reader[" + std::to_string(i + 1) + "].";
      if ((fault = applyReaderTable(*list->get(i)->as_table(), at, reader))) return fault;
      config.readers.push_back(std::move(reader));
    }
  }
  return std::nullopt;
}

std::optional<std::string> finishConfig(Config& config) {
  if (Fault fault = checkStringLengths(config)) return fault;
  if (config.logDir.size() > kMaxLogDirLength) {
    return "log_dir: " + config.logDir + " is longer than " + std::to_string(kMaxLogDirLength) +
           " characters";
  }
  if (config.readers.empty()) {
    return std::string("--reader: no reader (give --reader MODEL:PATH or a [[reader]] table)");
  }
  std::map<std::string, const ReaderConfig*> ports;
  std::set<std::string> names;
  for (ReaderConfig& reader : config.readers) {
    if (Fault fault = finishReader(reader, config)) return fault;
    const auto [other, added] = ports.emplace(portIdentity(reader.path), &reader);
    if (!added) {
      return reader.origin + "path: the port " + reader.path + " is given twice (also as " +
             originName(*other->second) + ")";
    }
    if (!names.insert(reader.name).second) {
      return reader.origin + "name: " + inQuotes(reader.name) + " is given twice";
    }
  }
  if (Fault fault = checkFleetTokensStandApart(config.readers)) return fault;
  return finishMqtt(config.mqtt);
}

ParseResult parseCommandLine(int argc, const char* const* argv) {
  ParseResult result;
  CLI::App app{
      "rfid-tokend: a card tap becomes a charging token. Polls RFID readers, publishes each\n"
      "new card as a token on MQTT (EVerest's auth token provider API) and as JSON lines on\n"
      "standard output. Settings may also come from a TOML file (--config); flags win.",
      "rfid-tokend"};
  app.get_formatter()->column_width(36);

  std::vector<std::string> readerFlags;
  std::string broker, configFile;
  Config flags;
  MqttConfig& mqtt = flags.mqtt;
  app.add_option("--reader", readerFlags, "A reader: vor or elatec, and its serial port (repeat)")
      ->type_name("MODEL:PATH")
      ->allow_extra_args(false);
  app.add_option("--mqtt", broker, "The MQTT broker (port 1883, or 8883 with TLS)")
      ->type_name("HOST[:PORT]");
  app.add_option("--module-id", mqtt.moduleId, "The module id in the topics")->type_name("ID");
  app.add_flag("--jsonl", flags.jsonl,
               "Standard output carries only JSON lines; console lines go to standard error");
  app.add_option("--log-dir", flags.logDir, "Directory of the monthly log file")->type_name("DIR");
  app.add_option("--config", configFile, "TOML configuration file")->type_name("FILE");
  app.add_option("--baud", flags.baud, "Baud rate of the readers (default 9600)")->type_name("N");
  app.add_option("--keys", flags.keyFile, "Key file, SECTOR:HEX12 lines, mode 0600")
      ->type_name("FILE");
  app.add_option("--fleet-keys", flags.fleetKeys,
                 "Fleet key file (TOML, mode 0600, without key_b): fleet tokens")
      ->type_name("FILE");
  app.add_option("--debounce-ms", flags.debounceMs,
                 "Time a card must be absent before it counts again (default 1000)")
      ->type_name("MS");
  app.add_option("--debounce-polls", flags.debouncePolls, "Or the polls in a row it must be absent")
      ->type_name("N");
  std::string replyWait;
  app.add_option("--reply-wait", replyWait,
                 "quiet (default): read a reply once the line is quiet; fixed: wait 500 ms")
      ->type_name("fixed|quiet");
  app.add_option("--quiet-ms", flags.quietMs, "Quiet time that ends a reply (default 20)")
      ->type_name("MS");
  app.add_option("--min-poll-ms", flags.minPollMs,
                 "Shortest time between two polls of a reader (default 50)")
      ->type_name("MS");
  app.add_flag("--reverse-bytes", flags.reverseBytes, "Serial number tokens in reversed order");
  app.add_option("--max-token-age", mqtt.maxTokenAgeSeconds,
                 "Seconds a token may wait for the broker (default 10)")
      ->type_name("S");
  app.add_option("--topic-prefix", mqtt.topicPrefix,
                 "Default everest_api/1/auth_token_provider/<module id>")
      ->type_name("PREFIX");
  app.add_option("--consumer-id", mqtt.consumerId,
                 "Auth consumer module id: sound the reader on its verdicts")
      ->type_name("ID");
  app.add_option("--consumer-prefix", mqtt.consumerPrefix,
                 "Default everest_api/1/auth_consumer/<consumer id>")
      ->type_name("PREFIX");
  app.add_option("--mqtt-username", mqtt.username, "User name at the broker")->type_name("NAME");
  app.add_option("--mqtt-password-file", mqtt.passwordFile, "File holding the password, mode 0600")
      ->type_name("FILE");
  app.add_option("--mqtt-cafile", mqtt.caFile, "CA certificate: connect with TLS")
      ->type_name("FILE");
  app.add_option("--mqtt-certfile", mqtt.certFile, "Client certificate (PEM)")->type_name("FILE");
  app.add_option("--mqtt-keyfile", mqtt.keyFile, "Client certificate's key (PEM)")
      ->type_name("FILE");
  app.add_option("--communication-check-interval", mqtt.communicationCheckSeconds,
                 "Seconds between communication checks (default 2.5)")
      ->type_name("S");
  app.add_option("--heartbeat-timeout", mqtt.heartbeatTimeoutSeconds,
                 "Seconds without a heartbeat before they count as stopped (default 5)")
      ->type_name("S");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.outcome = ParseResult::Outcome::kHelp;
    result.text = app.help();
    return result;
  } catch (const CLI::ParseError& error) {
    std::string text = error.what();
    std::replace(text.begin(), text.end(), '\n', ' ');
    result.text = text;
    return result;
  }
  const auto given = [&app](const char* flag) { return app.count(flag) > 0; };
  if (given("--debounce-polls") && given("--debounce-ms")) {
    result.text = "--debounce-ms: give --debounce-polls or --debounce-ms, not both";
    return result;
  }

  Config& config = result.config;
  if (!configFile.empty()) {
    struct stat info {};
    if (::stat(configFile.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      result.text = "--config " + configFile + ": not a regular file";
      return result;
    }
    if (info.st_size > static_cast<off_t>(kMaxConfigFileBytes)) {
      result.text = "--config " + configFile + ": larger than " +
                    std::to_string(kMaxConfigFileBytes / 1024) + " KiB";
      return result;
    }
    std::ifstream file(configFile);
    std::stringstream text;
    text << file.rdbuf();
    if (!file) {
      result.text = "--config " + configFile + ": cannot be read";
      return result;
    }
    if (const Fault fault = applyToml(text.str(), configFile, config)) {
      result.text = *fault;
      std::replace(result.text.begin(), result.text.end(), '\n', ' ');
      return result;
    }
  }

  // The flags given override the file, one by one.
  MqttConfig& into = config.mqtt;
  const auto take = [&given](const char* flag, auto& target, const auto& value) {
    if (given(flag)) target = value;
  };
  take("--jsonl", config.jsonl, flags.jsonl);
  take("--log-dir", config.logDir, flags.logDir);
  take("--keys", config.keyFile, flags.keyFile);
  take("--fleet-keys", config.fleetKeys, flags.fleetKeys);
  take("--baud", config.baud, flags.baud);
  take("--reverse-bytes", config.reverseBytes, flags.reverseBytes);
  take("--module-id", into.moduleId, mqtt.moduleId);
  take("--max-token-age", into.maxTokenAgeSeconds, mqtt.maxTokenAgeSeconds);
  take("--topic-prefix", into.topicPrefix, mqtt.topicPrefix);
  take("--consumer-id", into.consumerId, mqtt.consumerId);
  take("--consumer-prefix", into.consumerPrefix, mqtt.consumerPrefix);
  take("--mqtt-username", into.username, mqtt.username);
  take("--mqtt-password-file", into.passwordFile, mqtt.passwordFile);
  take("--mqtt-cafile", into.caFile, mqtt.caFile);
  take("--mqtt-certfile", into.certFile, mqtt.certFile);
  take("--mqtt-keyfile", into.keyFile, mqtt.keyFile);
  if (!given("--mqtt-cafile")) into.caFileSetting = configFile + ": mqtt.cafile";
  if (!given("--mqtt-certfile")) into.certFileSetting = configFile + ": mqtt.certfile";
  if (!given("--mqtt-keyfile")) into.keyFileSetting = configFile + ": mqtt.keyfile";
  take("--communication-check-interval", into.communicationCheckSeconds,
       mqtt.communicationCheckSeconds);
  take("--heartbeat-timeout", into.heartbeatTimeoutSeconds, mqtt.heartbeatTimeoutSeconds);
  if (given("--debounce-polls")) {
    config.debouncePolls = flags.debouncePolls;
    config.debounceMs = 0;
  }
  if (given("--debounce-ms")) config.debounceMs = flags.debounceMs;
  take("--reply-wait", config.quietWait, replyWait == "quiet");
  take("--quiet-ms", config.quietMs, flags.quietMs);
  take("--min-poll-ms", config.minPollMs, flags.minPollMs);

  Fault fault;
  if (given("--debounce-polls") && (flags.debouncePolls < 1 || flags.debouncePolls > 1000)) {
    fault =
        "--debounce-polls: " + std::to_string(flags.debouncePolls) + " is out of range (1 to 1000)";
  } else if (given("--debounce-ms") && (flags.debounceMs < 1 || flags.debounceMs > 600000)) {
    fault = "--debounce-ms: " + std::to_string(flags.debounceMs) + " is out of range (1 to 600000)";
  } else if (given("--reply-wait") && replyWait != "fixed" && replyWait != "quiet") {
    fault = "--reply-wait: " + inQuotes(replyWait) + " is not fixed or quiet";
  } else if (given("--quiet-ms") && (flags.quietMs < 1 || flags.quietMs > 100)) {
    fault = "--quiet-ms: " + std::to_string(flags.quietMs) + " is out of range (1 to 100)";
  } else if (given("--min-poll-ms") && (flags.minPollMs < 0 || flags.minPollMs > 60000)) {
    fault = "--min-poll-ms: " + std::to_string(flags.minPollMs) + " is out of range (0 to 60000)";
  } else if (given("--mqtt")) {
    fault = parseBrokerAddress(broker, into);
  }
  for (std::size_t i = 0; !fault && i < readerFlags.size(); ++i) {
    ReaderConfig reader;
    fault = parseReaderFlag(readerFlags[i], reader);
    config.readers.push_back(std::move(reader));
  }
  if (!fault) fault = finishConfig(config);
  if (fault) {
    // One line, whatever the parser of the file put in its description.
    result.text = *fault;
    std::replace(result.text.begin(), result.text.end(), '\n', ' ');
    return result;
  }
  result.outcome = ParseResult::Outcome::kRun;
  return result;
}

}  // namespace rfid_tokend
