#include "config.h"

#include <sys/stat.h>
#include <toml++/toml.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "Module_RFID_ext.h"
#include "config_limits.h"
#include "rfid_names/name_table.h"
#include "rfid_serial/serial_port.h"
#include "settings.h"
#include "token_shapes.h"

namespace rfid_tokend {
namespace {

using Fault = std::optional<std::string>;

constexpr int kBlockCount = RFID_BLOCK_COUNT;
constexpr int kBlocksPerSector = RFID_BLOCKS_PER_SECTOR;
constexpr std::size_t kBlockBytes = RFID_BLOCK_SIZE;
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

// A TOML value as the setting's kind takes it; nothing when it is of another
// type (checkValue names the type wanted).
Value tomlValue(Kind kind, const toml::node& node) {
  switch (kind) {
    case Kind::kSwitch:
      if (node.is_boolean()) return node.as_boolean()->get();
      break;
    case Kind::kInteger:
      if (node.is_integer()) return static_cast<Integer>(node.as_integer()->get());
      break;
    case Kind::kSeconds:
      if (node.is_integer()) return static_cast<double>(node.as_integer()->get());
      if (node.is_floating_point()) return node.as_floating_point()->get();
      break;
    case Kind::kText:
    case Kind::kChoice:
      if (node.is_string()) return node.as_string()->get();
      break;
    case Kind::kIntegerList: {
      const toml::array* array = node.as_array();
      if (array == nullptr) break;
      std::vector<Integer> values;
      for (const toml::node& item : *array) {
        if (!item.is_integer()) return Value();
        values.push_back(static_cast<Integer>(item.as_integer()->get()));
      }
      return values;
    }
  }
  return Value();
}

// Applies the settings of `scope` in one table (`reader` for a reader's
// table), naming `where` ("f.toml: reader[2].") in every fault. `tables`
// are the keys of the tables within it.
Fault applyTable(const toml::table& table, const std::string& where, std::size_t scope,
                 Config& config, ReaderConfig* reader, const std::set<std::string>& tables = {}) {
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    if (settingByKey(scope, name) == nullptr && tables.count(name) == 0) {
      return where + name + ": unknown key";
    }
  }
  for (const Setting& setting : kSettings) {
    if (!setting.inScope(scope) || setting.key == nullptr) continue;
    const toml::node* node = table.get(setting.key);
    if (node == nullptr) continue;
    const Value value = tomlValue(setting.kind, *node);
    if (Fault fault = checkValue(setting, value, where + setting.key)) return fault;
    assign(setting, value, config, reader);
  }
  return std::nullopt;
}

// The fault of counted and timed absence given together, each setting
// named by `name` (its key or its flag).
template <typename Name>
Fault bothDebounceRules(bool polls, bool timed, const std::string& where, Name name) {
  if (!polls || !timed) return std::nullopt;
  const std::string ms = name("debounce_ms");
  return where + ms + ": give " + name("debounce_polls") + " or " + ms + ", not both";
}

// The settings of one [[reader]] table, and the ones it must hold or must
// hold together.
Fault applyReaderTable(const toml::table& table, const std::string& where, Config& config,
                       ReaderConfig& reader) {
  if (Fault fault = applyTable(table, where, kReaderScope, config, &reader)) return fault;
  if (reader.token != TokenSource::kDesfire &&
      (table.contains("desfire_token") || table.contains("desfire_get_sak"))) {
    return where +
           "desfire_token: desfire_token and desfire_get_sak are settings of token = "
           "\"desfire\"";
  }
  if (!table.contains("model")) return where + "model: missing (vor or elatec)";
  if (reader.path.empty()) return where + "path: missing (the reader's serial port)";
  if (!table.contains("block") &&
      (table.contains("block_count") || table.contains("block_format"))) {
    return where + "block: missing (block_count and block_format describe a block token)";
  }
  reader.origin = where;
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
  return std::nullopt;
}

}  // namespace

// In the order of TokenSource's enumerators.
constexpr const char* kTokenSourceNames[] = {"serial", "block", "fleet", "desfire"};
static_assert(std::size(kTokenSourceNames) == static_cast<std::size_t>(TokenSource::kDesfire) + 1);

const char* tokenSourceName(TokenSource source) {
  return rfid_names::nameOf(kTokenSourceNames, source, "serial");
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
  if (Fault fault = bothDebounceRules(root.contains("debounce_polls"), root.contains("debounce_ms"),
                                      where, [](const char* key) { return std::string(key); })) {
    return fault;
  }
  if (Fault fault = applyTable(root, where, kServiceScope, config, nullptr, {"mqtt", "reader"})) {
    return fault;
  }
  // Counted polls replace the timed default.
  if (root.contains("debounce_polls")) config.debounceMs = 0;
  if (const toml::node* mqtt = root.get("mqtt")) {
    if (!mqtt->is_table()) return where + "mqtt: must be a table ([mqtt])";
    const toml::table& table = *mqtt->as_table();
    if (Fault fault = applyTable(table, where + "mqtt.", kMqttScope, config, nullptr)) {
      return fault;
    }
    if (!table.empty()) config.mqtt.fileSettings = where + "mqtt.";
  }
  if (const toml::node* readers = root.get("reader")) {
    const toml::array* list = readers->as_array();
    if (list == nullptr || !list->is_array_of_tables()) {
      return where + "reader: must be a list of tables ([[reader]])";
    }
    for (std::size_t i = 0; i < list->size(); ++i) {
      ReaderConfig reader;
      const std::string at = where + "reader[" + std::to_string(i + 1) + "].";
      if (Fault fault = applyReaderTable(*list->get(i)->as_table(), at, config, reader)) {
        return fault;
      }
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

namespace {

constexpr char kAbout[] =
    "rfid-tokend: a card tap becomes a charging token. Polls RFID readers, publishes each\n"
    "new card as a token on MQTT (EVerest's auth token provider API) and as JSON lines on\n"
    "standard output. Settings may also come from a TOML file (--config); flags win.";

// What the command line gave for one flag of kSettings.
struct FlagSlot {
  bool on = false;
  Integer number = 0;
  double seconds = 0;
  std::string text;
  std::vector<std::string> texts;  // a repeatable flag
};

void addFlag(CLI::App& app, const Setting& setting, FlagSlot& slot) {
  std::string help = setting.help;
  const std::string shown = shownDefault(setting);
  if (setting.operand != nullptr && !shown.empty() && shown.compare(0, 4, "none") != 0) {
    help += " (default " + shown + ")";
  }
  if (setting.repeatable) help += " (repeat)";
  CLI::Option* option = nullptr;
  switch (setting.kind) {
    case Kind::kSwitch:
      option = setting.operand == nullptr ? app.add_flag(setting.flag, slot.on, help)
                                          : app.add_option(setting.flag, slot.on, help);
      break;
    case Kind::kInteger:
      option = app.add_option(setting.flag, slot.number, help);
      break;
    case Kind::kSeconds:
      option = app.add_option(setting.flag, slot.seconds, help);
      break;
    case Kind::kText:
    case Kind::kChoice:
    case Kind::kIntegerList:
      option = setting.repeatable
                   ? app.add_option(setting.flag, slot.texts, help)->allow_extra_args(false)
                   : app.add_option(setting.flag, slot.text, help);
      break;
  }
  if (setting.operand != nullptr) option->type_name(setting.operand);
}

Value flagValue(const Setting& setting, const FlagSlot& slot) {
  switch (setting.kind) {
    case Kind::kSwitch:
      return slot.on;
    case Kind::kInteger:
      return slot.number;
    case Kind::kSeconds:
      return slot.seconds;
    case Kind::kText:
    case Kind::kChoice:
    case Kind::kIntegerList:
      break;
  }
  return slot.text;
}

Fault readConfigFile(const std::string& path, Config& config) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return "--config " + path + ": not a regular file";
  }
  if (info.st_size > static_cast<off_t>(kMaxConfigFileBytes)) {
    return "--config " + path + ": larger than " + std::to_string(kMaxConfigFileBytes / 1024) +
           " KiB";
  }
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  if (!file) return "--config " + path + ": cannot be read";
  return applyToml(text.str(), path, config);
}

// The flags given, over the file's settings.
Fault applyFlags(const CLI::App& app, const std::vector<FlagSlot>& slots,
                 const std::string& configFile, Config& config) {
  for (std::size_t i = 0; i < kSettings.size(); ++i) {
    const Setting& setting = kSettings[i];
    if (setting.flag == nullptr || app.count(setting.flag) == 0) continue;
    if (setting.readFlag != nullptr) {
      const std::vector<std::string> texts =
          setting.repeatable ? slots[i].texts : std::vector<std::string>{slots[i].text};
      for (const std::string& text : texts) {
        if (Fault fault = setting.readFlag(text, config)) return fault;
      }
    } else if (setting.key != nullptr) {
      const Value value = flagValue(setting, slots[i]);
      if (Fault fault = checkValue(setting, value, setting.flag)) return fault;
      assign(setting, value, config, nullptr);
    }
  }
  if (app.count("--debounce-polls") > 0) config.debounceMs = 0;
  // The TLS files' faults name the setting they came from.
  MqttConfig& mqtt = config.mqtt;
  if (app.count("--mqtt-cafile") == 0) mqtt.caFileSetting = configFile + ": mqtt.cafile";
  if (app.count("--mqtt-certfile") == 0) mqtt.certFileSetting = configFile + ": mqtt.certfile";
  if (app.count("--mqtt-keyfile") == 0) mqtt.keyFileSetting = configFile + ": mqtt.keyfile";
  return std::nullopt;
}

}  // namespace

ParseResult parseCommandLine(int argc, const char* const* argv) {
  ParseResult result;
  CLI::App app{kAbout, "rfid-tokend"};
  app.get_formatter()->column_width(36);
  std::vector<FlagSlot> slots(kSettings.size());
  for (std::size_t i = 0; i < kSettings.size(); ++i) {
    if (kSettings[i].flag != nullptr) addFlag(app, kSettings[i], slots[i]);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.outcome = ParseResult::Outcome::kHelp;
    result.text = app.help();
    return result;
  } catch (const CLI::ParseError& error) {
    result.text = error.what();
  }
  const std::string& configFile = slots[settingByFlag("--config") - kSettings.data()].text;
  Fault fault;
  if (!result.text.empty()) {
    fault = result.text;
  } else if (!(fault = bothDebounceRules(app.count("--debounce-polls") > 0,
                                         app.count("--debounce-ms") > 0, "", [](const char* key) {
                                           return std::string(
                                               settingByKey(kServiceScope, key)->flag);
                                         }))) {
    if (!configFile.empty()) fault = readConfigFile(configFile, result.config);
    if (!fault) fault = applyFlags(app, slots, configFile, result.config);
    if (!fault) fault = finishConfig(result.config);
  }
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
