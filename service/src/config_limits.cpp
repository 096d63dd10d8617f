#include "config_limits.h"

#include <climits>
#include <functional>
#include <vector>

namespace rfid_tokend {
namespace {

using Fault = std::optional<std::string>;

// The longest topic level the service puts behind a prefix
// ("/e2m/token_validation_status" and the like), with room to spare.
constexpr std::size_t kTopicSuffixRoom = 64;
constexpr std::size_t kMaxPathLength = PATH_MAX - 1;

// Skips a string that starts at `at` (a quote); returns the index of its
// last character, or the text's end when it is not closed.
std::size_t skipString(const std::string& text, std::size_t at) {
  const char quote = text[at];
  const bool multiLine = text.compare(at, 3, std::string(3, quote)) == 0;
  if (multiLine) {
    const std::size_t end = text.find(std::string(3, quote), at + 3);
    return end == std::string::npos ? text.size() : end + 2;
  }
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\n') return i - 1;  // not closed on its line: the parser says so
    if (quote == '"' && text[i] == '\\') {
      ++i;
    } else if (text[i] == quote) {
      return i;
    }
  }
  return text.size();
}

}  // namespace

Fault checkConfigText(const std::string& text, const std::string& source) {
  if (text.size() > kMaxConfigFileBytes) {
    return source + ": larger than " + std::to_string(kMaxConfigFileBytes / 1024) + " KiB";
  }
  // Brackets and braces open levels; each dot between two parts of a key
  // (or a number, which over-counts harmlessly) adds one for that key.
  int brackets = 0;
  int dots = 0;
  int line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '"':
      case '\'': {
        const std::size_t end = skipString(text, i);
        for (std::size_t j = i; j < end && j < text.size(); ++j) line += text[j] == '\n';
        i = end;
        continue;
      }
      case '#':
        while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        continue;
      case '[':
      case '{':
        ++brackets;
        dots = 0;
        break;
      case ']':
      case '}':
        --brackets;
        dots = 0;
        break;
      case '.':
        ++dots;
        break;
      case '\n':
        ++line;
        dots = 0;
        break;
      case '=':
      case ',':
        dots = 0;
        break;
      default:
        break;
    }
    if (brackets + dots > kMaxConfigNesting) {
      return source + ":" + std::to_string(line) + ": nested deeper than " +
             std::to_string(kMaxConfigNesting) + " levels";
    }
  }
  return std::nullopt;
}

Fault checkStringLengths(const Config& config) {
  struct Bound {
    std::string setting;
    const std::string& value;
    std::size_t longest;
  };
  const MqttConfig& mqtt = config.mqtt;
  const std::size_t longestTopicPrefix = kMaxTopicLength - kTopicSuffixRoom;
  std::vector<Bound> bounds = {
      {"--keys", config.keyFile, kMaxPathLength},
      {"--fleet-keys", config.fleetKeys, kMaxPathLength},
      {"--mqtt", mqtt.host, kMaxHostLength},
      {"--module-id", mqtt.moduleId, longestTopicPrefix},
      {"--topic-prefix", mqtt.topicPrefix, longestTopicPrefix},
      {"--consumer-id", mqtt.consumerId, longestTopicPrefix},
      {"--consumer-prefix", mqtt.consumerPrefix, longestTopicPrefix},
      {"--mqtt-username", mqtt.username, kMaxUsernameLength},
      {"--mqtt-password-file", mqtt.passwordFile, kMaxPathLength},
      {mqtt.caFileSetting, mqtt.caFile, kMaxPathLength},
      {mqtt.certFileSetting, mqtt.certFile, kMaxPathLength},
      {mqtt.keyFileSetting, mqtt.keyFile, kMaxPathLength},
  };
  for (const ReaderConfig& reader : config.readers) {
    bounds.push_back({reader.origin + "path", reader.path, kMaxPathLength});
    bounds.push_back({reader.origin + "name", reader.name, kMaxNameLength});
    bounds.push_back({reader.origin + "token_type", reader.tokenType, kMaxNameLength});
    bounds.push_back({reader.origin + "token_prefix", reader.tokenPrefix, kMaxNameLength});
  }
  for (const Bound& bound : bounds) {
    if (bound.value.size() > bound.longest) {
      return bound.setting + ": longer than " + std::to_string(bound.longest) + " characters";
    }
  }
  return std::nullopt;
}

}  // namespace rfid_tokend
