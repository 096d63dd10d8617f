#include "recent_tokens.h"

namespace rfid_tokend {

void RecentTokens::remember(const std::string& value, std::size_t reader,
                            SteadyClock::time_point now) {
  expire(now);
  reads_[value] = {reader, now, std::nullopt};
}

std::optional<std::size_t> RecentTokens::readerOf(const std::string& value,
                                                  SteadyClock::time_point now) {
  expire(now);
  const auto read = reads_.find(value);
  if (read == reads_.end()) return std::nullopt;
  return read->second.reader;
}

std::optional<std::size_t> RecentTokens::readerToSound(const std::string& value, bool accepted,
                                                       SteadyClock::time_point now) {
  expire(now);
  const auto read = reads_.find(value);
  if (read == reads_.end() || read->second.sounded == accepted) return std::nullopt;
  read->second.sounded = accepted;
  return read->second.reader;
}

void RecentTokens::expire(SteadyClock::time_point now) {
  for (auto it = reads_.begin(); it != reads_.end();) {
    it = now - it->second.at > kLife ? reads_.erase(it) : std::next(it);
  }
}

}  // namespace rfid_tokend
