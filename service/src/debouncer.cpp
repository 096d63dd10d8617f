#include "debouncer.h"

namespace rfid_tokend {

std::vector<Debouncer::Event> Debouncer::poll(const std::optional<std::string>& card,
                                              SteadyClock::time_point now) {
  std::vector<Event> events;
  if (card) {
    if (current_ != card) {
      if (current_) events.push_back({Event::Kind::kRemoved, *current_});
      events.push_back({Event::Kind::kArrived, *card});
      current_ = card;
    }
    absentPolls_ = 0;
    lastSeen_ = now;
    return events;
  }
  if (!current_) return events;
  ++absentPolls_;
  constexpr int kTimedMisses = 2;
  const bool gone = rule_.absentTime.count() > 0
                        ? now - lastSeen_ >= rule_.absentTime && absentPolls_ >= kTimedMisses
                        : absentPolls_ >= rule_.absentPolls;
  if (gone) {
    events.push_back({Event::Kind::kRemoved, *current_});
    current_.reset();
    absentPolls_ = 0;
  }
  return events;
}

}  // namespace rfid_tokend
