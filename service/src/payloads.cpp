#include "payloads.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

namespace rfid_tokend {
namespace {

using Json = nlohmann::ordered_json;

// A verdict nests three levels deep; anything far deeper is not one, and is
// refused before the parser builds it.
constexpr int kMaxVerdictNesting = 16;

// The deepest nesting of arrays and objects, outside strings; stops counting
// once past `limit`.
bool nestsWithin(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

struct KindName {
  ReaderEvent::Kind kind;
  const char* name;
};
constexpr KindName kKindNames[] = {{ReaderEvent::Kind::kToken, "token"},
                                   {ReaderEvent::Kind::kRemoved, "removed"},
                                   {ReaderEvent::Kind::kUp, "up"},
                                   {ReaderEvent::Kind::kDown, "down"}};

const char* kindName(ReaderEvent::Kind kind) {
  for (const KindName& entry : kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "";
}

// The fields each kind carries, after "event".
void addFields(Json& json, const ReaderEvent& event) {
  switch (event.kind) {
    case ReaderEvent::Kind::kToken:
      json["value"] = event.value;
      json["type"] = event.type;
      break;
    case ReaderEvent::Kind::kRemoved:
      json["value"] = event.value;
      break;
    case ReaderEvent::Kind::kDown:
      json["reason"] = event.reason;
      break;
    case ReaderEvent::Kind::kUp:
      break;
  }
}

std::string stringField(const Json& json, const char* key) {
  const auto it = json.find(key);
  return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string encodeReaderEvent(const ReaderEvent& event) {
  Json json;
  json["event"] = kindName(event.kind);
  addFields(json, event);
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<ReaderEvent> decodeReaderEvent(const std::string& line) {
  const Json json = Json::parse(line, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  const std::string name = stringField(json, "event");
  for (const KindName& entry : kKindNames) {
    if (name != entry.name) continue;
    ReaderEvent event;
    event.kind = entry.kind;
    event.value = stringField(json, "value");
    event.type = stringField(json, "type");
    event.reason = stringField(json, "reason");
    const bool needsValue =
        entry.kind == ReaderEvent::Kind::kToken || entry.kind == ReaderEvent::Kind::kRemoved;
    if (needsValue && event.value.empty()) return std::nullopt;
    return event;
  }
  return std::nullopt;
}

std::string isoTime(std::chrono::system_clock::time_point time) {
  const auto sinceEpoch = time.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds);
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis.count()));
  return text;
}

std::string eventLine(const ReaderEvent& event, const std::string& reader,
                      const std::vector<int>& connectors,
                      std::chrono::system_clock::time_point time) {
  Json json;
  json["event"] = kindName(event.kind);
  json["reader"] = reader;
  addFields(json, event);
  if (event.kind == ReaderEvent::Kind::kToken) json["connectors"] = connectors;
  json["time"] = isoTime(time);
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string providedTokenPayload(const std::string& value, const std::string& type,
                                 const std::vector<int>& connectors) {
  Json json;
  json["id_token"] = {{"value", value}, {"type", type}};
  json["authorization_type"] = "RFID";
  if (!connectors.empty()) json["connectors"] = connectors;
  return json.dump();
}

std::optional<ValidationStatus> parseValidationStatus(const std::string& payload,
                                                      std::string& fault) {
  static const std::pair<const char*, ValidationStatus::Status> kStatuses[] = {
      {"Processing", ValidationStatus::Status::kProcessing},
      {"Accepted", ValidationStatus::Status::kAccepted},
      {"Rejected", ValidationStatus::Status::kRejected},
      {"TimedOut", ValidationStatus::Status::kTimedOut}};
  if (!nestsWithin(payload, kMaxVerdictNesting)) {
    fault = "nested deeper than " + std::to_string(kMaxVerdictNesting) + " levels";
    return std::nullopt;
  }
  const Json json = Json::parse(payload, nullptr, false);
  if (json.is_discarded()) {
    fault = "not JSON";
    return std::nullopt;
  }
  if (!json.is_object()) {
    fault = "not a JSON object";
    return std::nullopt;
  }
  const Json* idToken = nullptr;
  if (const auto token = json.find("token"); token != json.end() && token->is_object()) {
    const auto id = token->find("id_token");
    if (id != token->end() && id->is_object()) idToken = &*id;
  }
  if (idToken == nullptr || stringField(*idToken, "value").empty()) {
    fault = "no token.id_token.value";
    return std::nullopt;
  }
  const std::string status = stringField(json, "status");
  for (const auto& [name, value] : kStatuses) {
    if (status == name) return ValidationStatus{stringField(*idToken, "value"), value};
  }
  fault = "status is not Processing, Accepted, Rejected or TimedOut";
  return std::nullopt;
}

std::optional<long long> parseHeartbeat(const std::string& payload) {
  if (payload.empty() || payload.size() > 20) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(payload.c_str(), &end, 10);
  if (errno != 0 || end != payload.c_str() + payload.size() || payload.front() == ' ' ||
      payload.front() == '+' || payload.front() == '\t') {
    return std::nullopt;
  }
  return value;
}

}  // namespace rfid_tokend
