// rfid-tokend's settings, each named once: its TOML key, its flag (or the
// reason it has none), its type, range, default and help text, and how it
// reaches the configuration. The TOML reader, the command line, the check of
// every value that comes in, the worker's settings on its pipe, --help and
// the settings table in docs/service.md all go through kSettings.
//
// Settings whose meaning is more than one value (the readers given with
// --reader, the broker address of --mqtt, the pairs that exclude each other)
// are named here too, and the code around them is in config.cpp.
#ifndef RFID_TOKEND_SETTINGS_H
#define RFID_TOKEND_SETTINGS_H

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config.h"

namespace rfid_tokend {

// A setting's value as a file, a flag or the worker's settings carry it;
// std::monostate: not set.
// 64 bits on every target: a TOML integer is, and one beyond 32 bits must
// be refused as out of range on the 32-bit board too, not wrap into it.
using Integer = std::int64_t;
using Value =
    std::variant<std::monostate, bool, Integer, double, std::string, std::vector<Integer>>;

enum class Kind {
  kSwitch,       // true or false
  kInteger,      // within [min, max]
  kSeconds,      // a number of seconds within [min, max]
  kText,         // a string
  kChoice,       // one of `choices`
  kIntegerList,  // connector ids
};

// How a setting reaches the struct it lives in; the scope is the struct:
// Config (the file's top level), MqttConfig ([mqtt]) or ReaderConfig
// ([[reader]]).
template <typename Owner>
struct Access {
  Value (*get)(const Owner&) = nullptr;
  void (*set)(Owner&, const Value&) = nullptr;
};
using AnyAccess = std::variant<Access<Config>, Access<MqttConfig>, Access<ReaderConfig>>;

// Takes the text of a flag whose value is more than the setting (a broker
// address, a reader); a fault names the flag.
using FlagReader = std::optional<std::string> (*)(const std::string& text, Config& config);

struct Setting {
  AnyAccess access;
  const char* key;      // in its table; nullptr: a flag only
  const char* flag;     // nullptr: see noFlag
  const char* noFlag;   // why a key has no flag
  const char* operand;  // the flag's value in --help ("MS"); nullptr: a switch
  Kind kind;
  double min = 0;
  double max = 0;
  std::vector<std::string> choices = {};
  // In the fault of a value that is no choice: "unknown <noun> "x" (a or
  // b)"; nullptr: ""x" is not a or b".
  const char* choiceNoun = nullptr;
  const char* help = "";
  // The default as --help and the docs show it: nullptr for the value of a
  // default-constructed configuration, "" for none.
  const char* shownDefault = nullptr;
  FlagReader readFlag = nullptr;  // the flag's text is taken whole by this
  bool repeatable = false;        // the flag may be given more than once
  bool toWorker = false;          // a service setting the worker uses

  bool inScope(std::size_t scope) const { return access.index() == scope; }

  // For the table's entries.
  Setting& within(double lowest, double highest) {
    min = lowest;
    max = highest;
    return *this;
  }
  Setting& oneOf(std::vector<std::string> names, const char* noun) {
    choices = std::move(names);
    choiceNoun = noun;
    return *this;
  }
  Setting& shown(const char* text) {
    shownDefault = text;
    return *this;
  }
  Setting& readBy(FlagReader reader) {
    readFlag = reader;
    return *this;
  }
  Setting& repeated() {
    repeatable = true;
    return *this;
  }
  Setting& forWorker() {
    toWorker = true;
    return *this;
  }
};

// Scopes, as the index of the access a setting has.
constexpr std::size_t kServiceScope = 0;
constexpr std::size_t kMqttScope = 1;
constexpr std::size_t kReaderScope = 2;

extern const std::vector<Setting> kSettings;

// The setting with this flag or, within `scope`, this key; nullptr when none.
const Setting* settingByFlag(const std::string& flag);
const Setting* settingByKey(std::size_t scope, const std::string& key);

// The fault of a value that does not fit the setting (range, choice,
// connector ids), naming it as `name` ("--quiet-ms", "f.toml: quiet_ms");
// the one check of every value that comes in.
std::optional<std::string> checkValue(const Setting& setting, const Value& value,
                                      const std::string& name);

// Sets the value in its struct within `config` (`reader` for reader
// settings).
void assign(const Setting& setting, const Value& value, Config& config, ReaderConfig* reader);
Value valueOf(const Setting& setting, const Config& config, const ReaderConfig* reader);

// The default as --help and the docs show it ("" for none).
std::string shownDefault(const Setting& setting);

// The worker's settings on its pipe: reader `index`'s settings and the
// service settings a worker uses (Setting::toWorker) under their TOML keys,
// with the token type the configuration derived for fleet tokens. The
// decoded configuration holds that one reader; text that is no such JSON
// throws (nlohmann::json::exception, or std::bad_variant_access for a value
// of another type).
std::string encodeWorkerSettings(const Config& config, std::size_t index);
Config decodeWorkerSettings(const std::string& text);

// The Markdown table of every setting, for docs/service.md.
std::string settingsTable();

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_SETTINGS_H
