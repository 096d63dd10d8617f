#include "log_medium.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "payloads.h"

namespace rfid_tokend {

namespace {
constexpr char kLinePrefix[] = "log-medium ";
}  // namespace

std::string logMediumLine(int why, unsigned long lost) {
  return kLinePrefix + std::to_string(why) + " " + std::to_string(lost);
}

std::optional<LogMediumReport> decodeLogMediumLine(const std::string& line) {
  if (line.rfind(kLinePrefix, 0) != 0) return std::nullopt;
  std::istringstream fields(line.substr(sizeof kLinePrefix - 1));
  LogMediumReport report;
  if (!(fields >> report.why >> report.lost) || report.why < 0) return std::nullopt;
  return report;
}

std::string logMediumReason(int why) {
  switch (why) {
    case ETIMEDOUT:
      return "blocked";
    case ENOSPC:
    case EDQUOT:
      return "full";
    case EROFS:
      return "read-only";
    case ENOENT:
      return "removed";
    case ENOBUFS:
      return "the queue is full";
    default:
      return std::strerror(why);
  }
}

void LogMedium::report(int source, const LogMediumReport& report) {
  sources_[source] = report;
}

void LogMedium::ended(int source) {
  const auto found = sources_.find(source);
  if (found == sources_.end()) return;
  endedLost_ += found->second.lost;
  sources_.erase(found);
}

unsigned long LogMedium::lostNow() const {
  unsigned long lost = endedLost_;
  for (const auto& entry : sources_) lost += entry.second.lost;
  return lost;
}

std::optional<LogMedium::Change> LogMedium::change() {
  int why = 0;
  for (const auto& entry : sources_) {
    if (entry.second.why != 0) {
      why = entry.second.why;
      break;
    }
  }
  if ((why != 0) == losing_) {
    // The count the next loss is measured from: what was lost before it.
    if (!losing_) lostAtStart_ = lostNow();
    return std::nullopt;
  }
  losing_ = why != 0;
  if (losing_) return Change{true, logMediumReason(why), 0};
  const unsigned long lost = lostNow();
  return Change{false, "", lost - std::min(lost, lostAtStart_)};
}

std::string logMediumEventLine(const LogMedium::Change& change,
                               std::chrono::system_clock::time_point time) {
  nlohmann::json json;
  json["event"] = "log";
  json["state"] = change.losing ? "losing" : "writing";
  if (change.losing) {
    json["reason"] = change.reason;
  } else {
    json["lost"] = change.lost;
  }
  json["time"] = isoTime(time);
  return json.dump();
}

}  // namespace rfid_tokend
