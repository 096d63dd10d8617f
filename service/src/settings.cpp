#include "settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Module_RFID_ext.h"
#include "rfid_names/name_table.h"

namespace rfid_tokend {
namespace {

using Fault = std::optional<std::string>;

constexpr Integer kFirstConnector = 1;
constexpr Integer kLastConnector = 1000;
constexpr int kMaxBlocksPerToken = 3;  // the data blocks of one sector

// Reader settings go in the reader's own [[reader]] table: a flag would
// set one value for every reader.
constexpr char kPerReader[] = "per reader";
constexpr char kInReaderFlag[] = "given with --reader MODEL:PATH";

// ---- Values in and out of the configuration's structs -----------------------

Value toValue(bool value) {
  return value;
}
Value toValue(int value) {
  return static_cast<Integer>(value);
}
Value toValue(double value) {
  return value;
}
Value toValue(const std::string& value) {
  return value;
}
Value toValue(const std::vector<int>& values) {
  return std::vector<Integer>(values.begin(), values.end());
}
Value toValue(const std::optional<bool>& value) {
  return value ? Value(*value) : Value();
}

// The value was checked (checkValue) before it is set.
void fromValue(const Value& value, bool& out) {
  out = std::get<bool>(value);
}
void fromValue(const Value& value, int& out) {
  out = static_cast<int>(std::get<Integer>(value));
}
void fromValue(const Value& value, double& out) {
  out = std::get<double>(value);
}
void fromValue(const Value& value, std::string& out) {
  out = std::get<std::string>(value);
}
void fromValue(const Value& value, std::vector<int>& out) {
  const auto& values = std::get<std::vector<Integer>>(value);
  out.assign(values.begin(), values.end());
}
void fromValue(const Value& value, std::optional<bool>& out) {
  out = std::get<bool>(value);
}

template <typename Member>
struct MemberOf;
template <typename Owner, typename Field>
struct MemberOf<Field Owner::*> {
  using Type = Owner;
};

// The access to a field that holds the setting's value as it is.
template <auto kMember>
Access<typename MemberOf<decltype(kMember)>::Type> member() {
  using Owner = typename MemberOf<decltype(kMember)>::Type;
  return {[](const Owner& owner) -> Value { return toValue(owner.*kMember); },
          [](Owner& owner, const Value& value) { fromValue(value, owner.*kMember); }};
}

const std::string& text(const Value& value) {
  return std::get<std::string>(value);
}

BlockSource& blockOf(ReaderConfig& reader) {
  if (!reader.blockSource) reader.blockSource.emplace();
  return *reader.blockSource;
}

// ---- The table's entries ----------------------------------------------------

Setting entry(AnyAccess access, Kind kind, const char* key, const char* flag, const char* operand,
              const char* help) {
  Setting setting{access, key, flag, nullptr, operand, kind};
  setting.help = help;
  return setting;
}

Setting fileOnly(AnyAccess access, Kind kind, const char* key, const char* noFlag,
                 const char* help) {
  Setting setting{access, key, nullptr, noFlag, nullptr, kind};
  setting.help = help;
  return setting;
}

Setting readerSetting(Access<ReaderConfig> access, Kind kind, const char* key, const char* help) {
  return fileOnly(access, kind, key, kPerReader, help);
}

Fault addReader(const std::string& flag, Config& config) {
  ReaderConfig reader;
  Fault fault = parseReaderFlag(flag, reader);
  config.readers.push_back(std::move(reader));
  return fault;
}

Fault takeBroker(const std::string& address, Config& config) {
  return parseBrokerAddress(address, config.mqtt);
}

std::vector<std::string> tokenSourceNames() {
  std::vector<std::string> names;
  for (const TokenSource source :
       {TokenSource::kSerial, TokenSource::kBlock, TokenSource::kFleet, TokenSource::kDesfire}) {
    names.emplace_back(tokenSourceName(source));
  }
  return names;
}

std::vector<std::string> modelNames() {
  std::vector<std::string> names;
  for (const ReaderModel model : rfid_host::kModels) names.emplace_back(modelName(model));
  return names;
}

constexpr Kind kSwitch = Kind::kSwitch;
constexpr Kind kInteger = Kind::kInteger;
constexpr Kind kSeconds = Kind::kSeconds;
constexpr Kind kText = Kind::kText;
constexpr Kind kChoice = Kind::kChoice;

std::vector<Setting> makeSettings() {
  using C = Config;
  using M = MqttConfig;
  using R = ReaderConfig;
  return {
      entry(Access<C>{}, kText, nullptr, "--reader", "MODEL:PATH",
            "A reader: vor or elatec, and its serial port")
          .readBy(addReader)
          .repeated(),
      entry(Access<M>{[](const M& mqtt) -> Value { return mqtt.host; },
                      [](M& mqtt, const Value& value) {
                        // An empty host names no broker.
                        if (text(value).empty()) return;
                        mqtt.host = text(value);
                        mqtt.enabled = true;
                      }},
            kText, "host", "--mqtt", "HOST[:PORT]",
            "The MQTT broker (port 1883, or 8883 with TLS; [v6 address]:PORT)")
          .readBy(takeBroker)
          .shown("none: no MQTT"),
      fileOnly(member<&M::port>(), kInteger, "port", "given with --mqtt HOST:PORT",
               "The broker's port")
          .within(1, 65535)
          .shown("1883, 8883 with TLS"),
      entry(member<&M::moduleId>(), kText, "module_id", "--module-id", "ID",
            "This provider's module id in the topics; required with MQTT"),
      entry(member<&C::jsonl>(), kSwitch, "jsonl", "--jsonl", nullptr,
            "Standard output carries only JSON lines; console lines go to standard error"),
      entry(member<&C::logDir>(), kText, "log_dir", "--log-dir", "DIR",
            "Directory of the module's monthly log file (must exist)")
          .shown("/Storage/SystemLog, the module's")
          .forWorker(),
      entry(Access<C>{}, kText, nullptr, "--config", "FILE", "TOML configuration file"),
      entry(member<&C::baud>(), kInteger, "baud", "--baud", "N",
            "Baud rate of the readers (the standard rates from 1200 to 230400)")
          .within(1, 4000000),
      entry(member<&C::keyFile>(), kText, "keys", "--keys", "FILE",
            "Key file, SECTOR:HEX12 lines, mode 0600")
          .shown("none: factory keys"),
      entry(member<&C::fleetKeys>(), kText, "fleet_keys", "--fleet-keys", "FILE",
            "Fleet key file (TOML, mode 0600, without key_b): readers read fleet tokens")
          .shown("none: no fleet tokens"),
      entry(member<&C::refusedSound>(), kSwitch, "refused_sound", "--refused-sound", "true|false",
            "A refused fleet card sounds the rejected pattern"),
      entry(member<&C::debounceMs>(), kInteger, "debounce_ms", "--debounce-ms", "MS",
            "Time a card must be absent before it counts again")
          .within(1, 600000)
          .forWorker(),
      entry(member<&C::debouncePolls>(), kInteger, "debounce_polls", "--debounce-polls", "N",
            "Or the polls in a row it must be absent (not with debounce_ms)")
          .within(1, 1000)
          .shown("")
          .forWorker(),
      entry(Access<C>{
                [](const C& config) -> Value {
                  return std::string(config.quietWait ? "quiet" : "fixed");
                },
                [](C& config, const Value& value) { config.quietWait = text(value) == "quiet"; }},
            kChoice, "reply_wait", "--reply-wait", "fixed|quiet",
            "quiet: read a reply once the line is quiet; fixed: wait the module's 500 ms")
          .oneOf({"fixed", "quiet"}, nullptr)
          .forWorker(),
      entry(member<&C::quietMs>(), kInteger, "quiet_ms", "--quiet-ms", "MS",
            "Quiet time that ends a reply (it covers USB adapters' 16 ms latency timer)")
          .within(1, 100)
          .forWorker(),
      entry(member<&C::minPollMs>(), kInteger, "min_poll_ms", "--min-poll-ms", "MS",
            "Shortest time between two polls of a reader")
          .within(0, 60000)
          .forWorker(),
      entry(member<&C::reverseBytes>(), kSwitch, "reverse_bytes", "--reverse-bytes", nullptr,
            "Serial number tokens in reversed byte order"),
      entry(member<&M::maxTokenAgeSeconds>(), kSeconds, "max_token_age", "--max-token-age", "S",
            "Seconds a token may wait for the broker")
          .within(0.1, 3600),
      entry(member<&M::topicPrefix>(), kText, "topic_prefix", "--topic-prefix", "PREFIX",
            "Topic prefix of the token provider")
          .shown("everest_api/1/auth_token_provider/<module id>"),
      entry(member<&M::consumerId>(), kText, "consumer_id", "--consumer-id", "ID",
            "Auth consumer module id: sound the reader on its verdicts")
          .shown("none: no feedback"),
      entry(member<&M::consumerPrefix>(), kText, "consumer_prefix", "--consumer-prefix", "PREFIX",
            "Topic prefix of the auth consumer")
          .shown("everest_api/1/auth_consumer/<consumer id>"),
      entry(member<&M::username>(), kText, "username", "--mqtt-username", "NAME",
            "User name at the broker"),
      entry(member<&M::passwordFile>(), kText, "password_file", "--mqtt-password-file", "FILE",
            "File whose first line is the password, mode 0600"),
      entry(member<&M::caFile>(), kText, "cafile", "--mqtt-cafile", "FILE",
            "CA certificate: connect with TLS, checking the broker against it"),
      entry(member<&M::certFile>(), kText, "certfile", "--mqtt-certfile", "FILE",
            "Client certificate (PEM)"),
      entry(member<&M::keyFile>(), kText, "keyfile", "--mqtt-keyfile", "FILE",
            "Client certificate's key (PEM)"),
      entry(member<&M::communicationCheckSeconds>(), kSeconds, "communication_check_interval",
            "--communication-check-interval", "S", "Seconds between communication checks")
          .within(0.1, 60),
      entry(member<&M::heartbeatTimeoutSeconds>(), kSeconds, "heartbeat_timeout",
            "--heartbeat-timeout", "S", "Seconds without a heartbeat before they count as stopped")
          .within(0.5, 3600),
      entry(member<&M::keepaliveSeconds>(), kInteger, "keepalive", "--keepalive", "S",
            "MQTT keepalive in seconds")
          .within(5, 3600),

      fileOnly(
          Access<R>{[](const R& reader) -> Value { return std::string(modelName(reader.model)); },
                    [](R& reader, const Value& value) {
                      reader.model = modelFromName(text(value)).value_or(reader.model);
                    }},
          kChoice, "model", kInReaderFlag, "The reader's model; required")
          .oneOf(modelNames(), "model")
          .shown(""),
      fileOnly(member<&R::path>(), kText, "path", kInReaderFlag,
               "The reader's serial port; required"),
      readerSetting(member<&R::name>(), kText, "name", "In events and log lines").shown("the path"),
      readerSetting(member<&R::baud>(), kInteger, "baud", "The reader's baud rate")
          .within(1, 4000000)
          .shown("the service's baud"),
      readerSetting(member<&R::connectors>(), Kind::kIntegerList, "connectors",
                    "The connector ids the reader serves")
          .within(kFirstConnector, kLastConnector),
      readerSetting(member<&R::reverseBytes>(), kSwitch, "reverse_bytes",
                    "Serial number tokens in reversed byte order")
          .shown("the service's reverse_bytes"),
      readerSetting(member<&R::tokenType>(), kText, "token_type",
                    "ISO14443, ISO15693, Local, KeyCode, Central, eMAID, MacAddress or "
                    "NoAuthorization")
          .shown("ISO14443 for serial numbers, else Local"),
      readerSetting(member<&R::tokenPrefix>(), kText, "token_prefix",
                    "Put before every token of the reader"),
      readerSetting(
          Access<R>{[](const R& reader) -> Value {
                      return reader.blockSource ? toValue(reader.blockSource->block) : Value();
                    },
                    [](R& reader, const Value& value) { fromValue(value, blockOf(reader).block); }},
          kInteger, "block", "Tokens from card memory: the first data block, read with key A")
          .within(0, RFID_BLOCK_COUNT - 1)
          .shown("none: no block token"),
      readerSetting(
          Access<R>{[](const R& reader) -> Value {
                      return reader.blockSource ? toValue(reader.blockSource->count) : Value();
                    },
                    [](R& reader, const Value& value) { fromValue(value, blockOf(reader).count); }},
          kInteger, "block_count", "The blocks in a row the token takes, in one sector")
          .within(1, kMaxBlocksPerToken)
          .shown("1"),
      readerSetting(Access<R>{[](const R& reader) -> Value {
                                if (!reader.blockSource) return Value();
                                return std::string(reader.blockSource->format == BlockFormat::kAscii
                                                       ? "ascii"
                                                       : "hex");
                              },
                              [](R& reader, const Value& value) {
                                blockOf(reader).format = text(value) == "ascii"
                                                             ? BlockFormat::kAscii
                                                             : BlockFormat::kHex;
                              }},
                    kChoice, "block_format", "How the block token is shown")
          .oneOf({"hex", "ascii"}, "form")
          .shown("hex"),
      readerSetting(Access<R>{[](const R& reader) -> Value {
                                if (!reader.token) return Value();
                                return std::string(tokenSourceName(*reader.token));
                              },
                              [](R& reader, const Value& value) {
                                for (const TokenSource source :
                                     {TokenSource::kSerial, TokenSource::kBlock,
                                      TokenSource::kFleet, TokenSource::kDesfire}) {
                                  if (text(value) == tokenSourceName(source)) reader.token = source;
                                }
                              }},
                    kChoice, "token", "Where the reader's tokens come from")
          .oneOf(tokenSourceNames(), "source")
          .shown("block with block, else fleet with fleet_keys, else serial"),
      readerSetting(Access<R>{[](const R& reader) -> Value {
                                return std::string(reader.tokenFormat == TokenFormat::kDecimal
                                                       ? "decimal"
                                                       : "hex");
                              },
                              [](R& reader, const Value& value) {
                                reader.tokenFormat = text(value) == "decimal"
                                                         ? TokenFormat::kDecimal
                                                         : TokenFormat::kHex;
                              }},
                    kChoice, "token_format", "How fleet token ids are shown")
          .oneOf({"hex", "decimal"}, "form"),
      readerSetting(Access<R>{[](const R& reader) -> Value {
                                if (reader.fallbackSerial) return std::string("serial");
                                if (reader.fallbackFleet) return std::string("fleet");
                                return Value();
                              },
                              [](R& reader, const Value& value) {
                                reader.fallbackSerial = text(value) == "serial";
                                reader.fallbackFleet = text(value) == "fleet";
                              }},
                    kChoice, "fallback",
                    "The token of a card without a fleet token: its serial number, or (desfire) "
                    "a fleet token")
          .oneOf({"serial", "fleet"}, "fallback")
          .shown("none"),
      readerSetting(member<&R::refusedSound>(), kSwitch, "refused_sound",
                    "A refused fleet card sounds the rejected pattern")
          .shown("the service's refused_sound"),
      readerSetting(Access<R>{[](const R& reader) -> Value {
                                return std::string(
                                    reader.desfireToken == DesfireToken::kUid ? "uid" : "file");
                              },
                              [](R& reader, const Value& value) {
                                reader.desfireToken =
                                    text(value) == "uid" ? DesfireToken::kUid : DesfireToken::kFile;
                              }},
                    kChoice, "desfire_token",
                    "A DESFire card's token once it proved its key: its serial number or its "
                    "token file")
          .oneOf({"uid", "file"}, "form"),
      readerSetting(member<&R::desfireGetSak>(), kSwitch, "desfire_get_sak",
                    "GetSAK before the DESFire read"),
  };
}

std::string joinedChoices(const std::vector<std::string>& choices, const char* quote) {
  std::string joined;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    if (i > 0) joined += i + 1 == choices.size() ? " or " : ", ";
    joined += quote + choices[i] + quote;
  }
  return joined;
}

// In the order of Kind's enumerators.
constexpr const char* kTypeFaults[] = {
    "must be true or false", "must be an integer", "must be a number of seconds",
    "must be a string",      "must be a string",   "must be a list of integers"};
static_assert(std::size(kTypeFaults) == static_cast<std::size_t>(Kind::kIntegerList) + 1);

const char* typeFault(Kind kind) {
  return rfid_names::nameOf(kTypeFaults, kind, "must be a string");
}

bool holdsKind(Kind kind, const Value& value) {
  switch (kind) {
    case Kind::kSwitch:
      return std::holds_alternative<bool>(value);
    case Kind::kInteger:
      return std::holds_alternative<Integer>(value);
    case Kind::kSeconds:
      return std::holds_alternative<double>(value);
    case Kind::kText:
    case Kind::kChoice:
      return std::holds_alternative<std::string>(value);
    case Kind::kIntegerList:
      return std::holds_alternative<std::vector<Integer>>(value);
  }
  return false;
}

std::string shownNumber(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

std::string shownValue(const Value& value) {
  if (const bool* on = std::get_if<bool>(&value)) return *on ? "true" : "false";
  if (const Integer* number = std::get_if<Integer>(&value)) return std::to_string(*number);
  if (const double* seconds = std::get_if<double>(&value)) return shownNumber(*seconds);
  if (const std::string* words = std::get_if<std::string>(&value)) return *words;
  return "";
}

std::string inQuotes(const std::string& text) {
  return "\"" + text + "\"";
}

using Json = nlohmann::json;

bool goesToWorker(const Setting& setting) {
  return setting.key != nullptr && (setting.toWorker || setting.inScope(kReaderScope));
}

Json jsonOf(const Value& value) {
  if (const bool* on = std::get_if<bool>(&value)) return *on;
  if (const Integer* number = std::get_if<Integer>(&value)) return *number;
  if (const double* seconds = std::get_if<double>(&value)) return *seconds;
  if (const std::string* words = std::get_if<std::string>(&value)) return *words;
  if (const auto* numbers = std::get_if<std::vector<Integer>>(&value)) return *numbers;
  return nullptr;
}

Value valueOfJson(Kind kind, const Json& json) {
  switch (kind) {
    case Kind::kSwitch:
      return json.get<bool>();
    case Kind::kInteger:
      return json.get<Integer>();
    case Kind::kSeconds:
      return json.get<double>();
    case Kind::kText:
    case Kind::kChoice:
      return json.get<std::string>();
    case Kind::kIntegerList:
      return json.get<std::vector<Integer>>();
  }
  return Value();
}

}  // namespace

const std::vector<Setting> kSettings = makeSettings();

const Setting* settingByFlag(const std::string& flag) {
  for (const Setting& setting : kSettings) {
    if (setting.flag != nullptr && flag == setting.flag) return &setting;
  }
  return nullptr;
}

const Setting* settingByKey(std::size_t scope, const std::string& key) {
  for (const Setting& setting : kSettings) {
    if (setting.inScope(scope) && setting.key != nullptr && key == setting.key) return &setting;
  }
  return nullptr;
}

Fault checkValue(const Setting& setting, const Value& value, const std::string& name) {
  const std::string where = name + ": ";
  if (!holdsKind(setting.kind, value)) return where + typeFault(setting.kind);
  switch (setting.kind) {
    case Kind::kInteger: {
      const Integer number = std::get<Integer>(value);
      if (number >= setting.min && number <= setting.max) return std::nullopt;
      return where + std::to_string(number) + " is out of range (" +
             std::to_string(static_cast<Integer>(setting.min)) + " to " +
             std::to_string(static_cast<Integer>(setting.max)) + ")";
    }
    case Kind::kSeconds: {
      const double seconds = std::get<double>(value);
      if (std::isfinite(seconds) && seconds >= setting.min && seconds <= setting.max) {
        return std::nullopt;
      }
      return where + shownNumber(seconds) + " is out of range (" + shownNumber(setting.min) +
             " to " + shownNumber(setting.max) + ")";
    }
    case Kind::kChoice: {
      const std::string& choice = text(value);
      const auto& choices = setting.choices;
      if (std::find(choices.begin(), choices.end(), choice) != choices.end()) return std::nullopt;
      if (setting.choiceNoun == nullptr) {
        return where + inQuotes(choice) + " is not " + joinedChoices(choices, "");
      }
      return where + "unknown " + setting.choiceNoun + " " + inQuotes(choice) + " (" +
             joinedChoices(choices, "") + ")";
    }
    case Kind::kIntegerList: {
      const auto& ids = std::get<std::vector<Integer>>(value);
      for (auto id = ids.begin(); id != ids.end(); ++id) {
        if (*id < setting.min || *id > setting.max) {
          return where + std::to_string(*id) + " is not a connector id (" +
                 std::to_string(static_cast<Integer>(setting.min)) + " to " +
                 std::to_string(static_cast<Integer>(setting.max)) + ")";
        }
        if (std::find(ids.begin(), id, *id) != id) {
          return where + "connector " + std::to_string(*id) + " is given twice";
        }
      }
      return std::nullopt;
    }
    case Kind::kSwitch:
    case Kind::kText:
      return std::nullopt;
  }
  return std::nullopt;
}

void assign(const Setting& setting, const Value& value, Config& config, ReaderConfig* reader) {
  if (const auto* service = std::get_if<Access<Config>>(&setting.access)) {
    if (service->set != nullptr) service->set(config, value);
  } else if (const auto* mqtt = std::get_if<Access<MqttConfig>>(&setting.access)) {
    if (mqtt->set != nullptr) mqtt->set(config.mqtt, value);
  } else if (const auto* ofReader = std::get_if<Access<ReaderConfig>>(&setting.access)) {
    if (reader != nullptr) ofReader->set(*reader, value);
  }
}

Value valueOf(const Setting& setting, const Config& config, const ReaderConfig* reader) {
  if (const auto* service = std::get_if<Access<Config>>(&setting.access)) {
    return service->get != nullptr ? service->get(config) : Value();
  }
  if (const auto* mqtt = std::get_if<Access<MqttConfig>>(&setting.access)) {
    return mqtt->get(config.mqtt);
  }
  const auto& ofReader = std::get<Access<ReaderConfig>>(setting.access);
  return reader != nullptr ? ofReader.get(*reader) : Value();
}

std::string shownDefault(const Setting& setting) {
  if (setting.shownDefault != nullptr) return setting.shownDefault;
  const Config config;
  const ReaderConfig reader;
  return shownValue(valueOf(setting, config, &reader));
}

std::string encodeWorkerSettings(const Config& config, std::size_t index) {
  const ReaderConfig& reader = config.readers.at(index);
  Json json = {{"fleet_token_type", reader.fleetTokenType}};
  for (const Setting& setting : kSettings) {
    if (!goesToWorker(setting)) continue;
    const Value value = valueOf(setting, config, &reader);
    if (!std::holds_alternative<std::monostate>(value)) json[setting.key] = jsonOf(value);
  }
  return json.dump();
}

Config decodeWorkerSettings(const std::string& text) {
  const Json json = Json::parse(text);
  Config config;
  ReaderConfig& reader = config.readers.emplace_back();
  for (const Setting& setting : kSettings) {
    if (!goesToWorker(setting) || !json.contains(setting.key)) continue;
    assign(setting, valueOfJson(setting.kind, json.at(setting.key)), config, &reader);
  }
  if (!reader.token) reader.token = reader.blockSource ? TokenSource::kBlock : TokenSource::kSerial;
  reader.fleetTokenType = json.at("fleet_token_type");
  return config;
}

std::string settingsTable() {
  const auto cell = [](std::string text) {
    std::string escaped;
    for (const char c : text) {
      if (c == '|')
        escaped += "\\|";
      else if (c == '<')
        escaped += "&lt;";
      else if (c == '>')
        escaped += "&gt;";
      else
        escaped += c;
    }
    return escaped;
  };
  const auto range = [](const Setting& setting) {
    const bool whole = setting.kind != Kind::kSeconds;
    return (whole ? std::to_string(static_cast<Integer>(setting.min)) : shownNumber(setting.min)) +
           " to " +
           (whole ? std::to_string(static_cast<Integer>(setting.max)) : shownNumber(setting.max));
  };
  std::string table = "| Flag | TOML key | Type | Default | Meaning |\n|---|---|---|---|---|\n";
  for (const Setting& setting : kSettings) {
    std::string flag = "none: " + std::string(setting.noFlag == nullptr ? "" : setting.noFlag);
    if (setting.flag != nullptr) {
      flag = "`" + std::string(setting.flag) +
             (setting.operand != nullptr ? " " + std::string(setting.operand) : "") + "`" +
             (setting.repeatable ? " (repeatable)" : "");
    }
    std::string key;
    if (setting.key != nullptr) {
      key = setting.inScope(kMqttScope)     ? "`mqtt." + std::string(setting.key) + "`"
            : setting.inScope(kReaderScope) ? "`[[reader]]` `" + std::string(setting.key) + "`"
                                            : "`" + std::string(setting.key) + "`";
    }
    std::string type;
    switch (setting.kind) {
      case Kind::kSwitch:
        type = "true or false";
        break;
      case Kind::kInteger:
        type = "integer, " + range(setting);
        break;
      case Kind::kSeconds:
        type = "seconds, " + range(setting);
        break;
      case Kind::kText:
        type = "string";
        break;
      case Kind::kChoice:
        type = joinedChoices(setting.choices, "`");
        break;
      case Kind::kIntegerList:
        type = "list of integers, " + range(setting);
        break;
    }
    table += "| " + cell(flag) + " | " + cell(key) + " | " + cell(type) + " | " +
             cell(shownDefault(setting)) + " | " + cell(setting.help) + " |\n";
  }
  return table;
}

}  // namespace rfid_tokend
