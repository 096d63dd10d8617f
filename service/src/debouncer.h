// Debouncing of the polls of one reader: a card that stays in the field
// counts once, and counts again only after it has been absent for a number
// of consecutive polls or for a time. A different card counts at once.
#ifndef RFID_TOKEND_DEBOUNCER_H
#define RFID_TOKEND_DEBOUNCER_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace rfid_tokend {

using SteadyClock = std::chrono::steady_clock;

struct DebounceRule {
  int absentPolls = 2;
  // When above zero, absence is timed from the last poll that saw the card
  // (it may have left any time after), and at least two polls in a row must
  // miss it, so that one lost answer of a card polled seldom does not count
  // as a removal.
  std::chrono::milliseconds absentTime{0};
};

class Debouncer {
 public:
  struct Event {
    enum class Kind { kArrived, kRemoved };
    Kind kind;
    std::string card;  // the card's identity, e.g. its serial number in hex
    bool operator==(const Event& other) const { return kind == other.kind && card == other.card; }
  };

  explicit Debouncer(DebounceRule rule) : rule_(rule) {}

  // One poll's result: the card seen, or none. A different card first
  // removes the one before.
  std::vector<Event> poll(const std::optional<std::string>& card, SteadyClock::time_point now);

  // Forgets the current card without an event, so that its next sighting
  // counts as an arrival (its token could not be made this time).
  void forget() { current_.reset(); }

  // True while `card` counts as in the field.
  bool holds(const std::string& card) const { return current_ == card; }

 private:
  DebounceRule rule_;
  std::optional<std::string> current_;
  int absentPolls_ = 0;
  SteadyClock::time_point lastSeen_{};
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_DEBOUNCER_H
