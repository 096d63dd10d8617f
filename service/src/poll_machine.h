// The decisions of a reader worker, apart from its process: when the next
// poll is due, what one poll makes of the field (debounce, tokens from the
// serial number, blocks or fleet cards, removals), the reader's up and down,
// and a verdict's sound one part at a time. It runs over a reader, a clock
// and a host that says whether a module call may go out and takes the
// events; it opens nothing, waits for nothing and reads no pipe, so that a
// test moves its clock by hand.
#ifndef RFID_TOKEND_POLL_MACHINE_H
#define RFID_TOKEND_POLL_MACHINE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "debouncer.h"
#include "payloads.h"
#include "rfid_cardauth/fleet_keys.h"
#include "rfid_desfire/fleet.h"
#include "rfid_host/reader.h"
#include "token.h"

namespace rfid_tokend {

using std::chrono::milliseconds;

// An empty field that has stayed empty for kIdleAfter is polled at most
// every kIdlePoll (or min_poll_ms, when that is longer): a tap then waits
// up to 150 ms for its poll, plus the exchange that finds the card (about
// 60 ms on Elatec, 30 ms on VOR), within the 0.25 s a tap may take, and the
// idle reader makes a third of the polls. A card seen makes the pace quick
// again at once, so a card that comes back soon after it left is seen at
// the quick pace.
constexpr milliseconds kIdleAfter{2000};
constexpr milliseconds kIdlePoll{150};
// The module logs every card request that finds a card. A card that rests
// (seen by two polls in a row) and is known to the debouncer is looked for
// with present(), which logs nothing, at the full pace, so that its
// absence is seen within a poll. A card the debouncer forgot (its token
// could not be made) is tried again as a new tap, with the module's lines,
// but only this often while it rests: at most 3600 / 1.9, about 1900
// entries an hour.
constexpr milliseconds kRestingPoll{1900};
// A reader whose card requests failed this many times in a row (no reply,
// or a port that fails) is down, and polled this seldom until it answers.
constexpr int kFailedExchangesForDown = 3;
constexpr milliseconds kDownPoll{2000};
// After a reply the reply check refused: what a reader that sends an answer
// twice (up to 100 ms apart) needs to have sent it whole, counted from the
// start of the poll, which takes up to 100 ms itself.
constexpr milliseconds kAfterRefusedReply{200};

// What a worker takes from the configuration for its polls.
struct PollSettings {
  ReaderConfig reader;
  DebounceRule debounce;
  milliseconds minPoll{0};
};

// What the module tells of the calling thread's latest exchange
// (rfidLastExchange, rfidLastReplyRefused): a silent reader and a broken
// reply are told apart from an empty field by it.
class ExchangeReport {
 public:
  virtual ~ExchangeReport() = default;
  // The reply's byte count (> 0), 0 for no reply, or a negative errno value.
  virtual int received() const = 0;
  virtual bool refused() const = 0;
};

// The module's own report, for a reader made by rfid_host::makeReader.
class ModuleExchangeReport : public ExchangeReport {
 public:
  int received() const override;
  bool refused() const override;
};

// What the machine needs of the process around it.
class PollHost {
 public:
  virtual ~PollHost() = default;
  // True when a module call may go out now: no stop is pending and the port
  // is alive. A port found dead has been reported down (readerDown) before
  // this returns false.
  virtual bool mayCall() = 0;
  // mayCall() for the card request that starts a poll: a check the host
  // made since the last module call may serve for it.
  virtual bool mayPoll() = 0;
  // The check mayCall() just made serves the next poll's too, unless
  // another module call goes out first.
  virtual void checkServesNextPoll() = 0;
  virtual void send(const ReaderEvent& event) = 0;
};

enum class Sound { kAccepted, kRejected };

class PollMachine {
 public:
  using Clock = std::function<SteadyClock::time_point()>;

  PollMachine(PollSettings settings, Clock clock, PollHost& host, const ExchangeReport& exchange);

  // The reader on a port just opened; the machine uses it until the next
  // attach(); before the first, poll() and playSoundPart() do nothing. Polls are quick at
  // first, as after a card seen.
  void attach(const rfid_host::Reader& reader);
  // The fleet keys of the service's key record.
  void useFleetKeys(const rfid_cardauth::FleetKeys& keys);

  // The reader answers (its port opened) or is gone, with the reason. Down
  // ends the tokens out (each gets its removal), the debounce and the sound.
  void readerUp();
  void readerDown(const std::string& reason);

  // When the next poll is due: the shortest interval after the last poll
  // began (longer for an idle field, a forgotten resting card, a refused
  // reply or a reader that is down), but not before the reader's beep and
  // pause are over.
  SteadyClock::time_point nextPollAt() const;
  // The end of the Elatec reader's beep and pause: no request before it.
  SteadyClock::time_point readerBusyUntil() const { return readerBusyUntil_; }

  // One poll of the field and what follows from it: tokens, removals,
  // fleet and DESFire reads, the rejected sound of a refused card.
  void poll();

  // A verdict's pattern (one part for accepted, two for rejected) replaces
  // what is left of the one before. Its parts go out one at a time with a
  // poll between them, so that a verdict never keeps the reader from seeing
  // a card leave.
  void startSound(Sound sound);
  bool soundPartDue() const;
  void playSoundPart();

 private:
  enum class State { kUnknown, kUp, kDown };

  void report(State state, const std::string& reason);
  bool restingKnownCard() const;
  bool judgeExchange(int received);
  void haltPublishedCard();
  std::optional<std::string> makeToken(const Bytes& serial, std::string& fault);
  void fleetTap(const std::string& card, const Bytes& serial, const std::string& type);
  void desfireTap(const std::string& card, const Bytes& serial);
  rfid_desfire::FleetRead readDesfire(const Bytes& serial);
  void publishSerial(const std::string& card, const Bytes& serial);
  void refuse(const Bytes& serial, const std::string& reason);
  void publish(const std::string& card, const std::string& value, const std::string& type);

  PollSettings settings_;
  Clock clock_;
  PollHost& host_;
  const ExchangeReport& exchange_;
  const rfid_host::Reader* reader_ = nullptr;
  Debouncer debouncer_;
  State state_ = State::kUnknown;
  int soundPartsLeft_ = 0;                     // of the latest verdict's pattern
  bool polledSincePart_ = true;                // a poll came after the last part
  SteadyClock::time_point readerBusyUntil_{};  // the Elatec reader's beep and pause
  SteadyClock::time_point lastSighting_{};     // the last poll that saw a card
  SteadyClock::time_point lastPoll_{};
  std::map<std::string, std::string> published_;  // card -> the token it gave
  std::optional<std::string> warnedCard_;
  std::optional<std::string> lastCard_;  // what the last poll saw
  bool restingCard_ = false;             // the last two polls saw the same card
  int failedExchanges_ = 0;              // card requests in a row without a reply
  bool refusedReply_ = false;            // the last card request's reply was refused
  rfid_cardauth::FleetKeys fleetKeys_;
  rfid_desfire::ReaderKeys desfireKeys_;
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_POLL_MACHINE_H
