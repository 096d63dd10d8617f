// The two simulated reader models, free of any I/O: bytes from the host go
// in with the time they arrived, replies come out when they are due. The
// pseudo-terminal around them lives in simulator.h; tests drive these
// classes directly with a clock of their own.
#ifndef RFID_SIM_READER_H
#define RFID_SIM_READER_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rfid_host/model.h"
#include "rfid_sim/card.h"

namespace rfid_sim {

using Clock = std::chrono::steady_clock;

using rfid_host::Model;
using rfid_host::modelFromName;
using rfid_host::modelName;

// How fast a reader answers: a delay before the reply to each kind of
// command, counted from the request's last byte on the line, and the line's
// speed, at which requests arrive and replies leave byte by byte. The
// default answers at once and sends each reply whole, as tests want.
struct Timing {
  std::map<std::string, std::chrono::milliseconds> replyDelay;  // by commandKinds() name
  int baud = 0;                                                 // 0: no line to pace
  // One byte on an 8N1 line is 10 bits; zero without a line.
  std::chrono::microseconds byteTime() const;
  // What the simulators assume of real readers, until one is measured:
  // VOR 15 ms for every command, Elatec 40 ms for the tag search and
  // 20 ms for the others, both at 9600 baud. A DESFire card's time on the
  // air comes on top of the Elatec reader's delay for its exchange.
  static Timing typical(Model model);
};

// The kinds of command of a model, as Timing and --reply-delay-ms name them.
const std::vector<std::string>& commandKinds(Model model);

// The field in front of a reader: no card, or one card.
class Field {
 public:
  bool hasCard() const { return card_.has_value(); }
  Card* card() { return card_ ? &*card_ : nullptr; }
  const Card* card() const { return card_ ? &*card_ : nullptr; }
  // A card arriving (again) starts idle and unauthenticated.
  void insert(Card card) {
    card_ = card;
    card_->enterField();
  }
  std::optional<Card> remove() { return std::exchange(card_, std::nullopt); }

 private:
  std::optional<Card> card_;
};

// What a reader does with one complete request frame.
struct Answer {
  Bytes reply;  // empty: nothing is sent
  // The reader is busy this long before the reply leaves and before it looks
  // at the next request (the length-prefixed reader's beep).
  std::chrono::milliseconds busyFor{0};
  // Time the card takes on the air (ISO 14443-4 exchanges): added to the
  // reader's own delay before the reply.
  std::chrono::microseconds airTime{0};
};

// Framing, timing and dispatch shared by both models.
class Reader {
 public:
  // A partial frame is dropped after this long without a byte, as the
  // readers' receivers do, so the next request starts cleanly.
  static constexpr std::chrono::milliseconds kInterByteTimeout{100};

  virtual ~Reader() = default;
  static std::unique_ptr<Reader> create(Model model);

  Model model() const { return model_; }
  void setTiming(Timing timing) { timing_ = std::move(timing); }
  Field& field() { return field_; }
  const Field& field() const { return field_; }

  // Bytes from the host, as they arrive.
  void receive(const std::uint8_t* bytes, std::size_t count, Clock::time_point now);
  // Handles every request that is complete and due at `now`; returns the
  // replies in the order they leave, one entry per reply.
  std::vector<Bytes> service(Clock::time_point now);
  // When service() has something to do next without new input: the end of
  // a busy period or of a partial frame's patience. Empty when idle.
  std::optional<Clock::time_point> nextDeadline() const;

 protected:
  explicit Reader(Model model) : model_(model) {}

  // How long the frame at the start of `pending` is: 0 while more bytes are
  // needed, or -1 when the input cannot be framed and is to be dropped
  // after answering `unframeableAnswer()`.
  virtual long frameLength(const Bytes& pending) const = 0;
  virtual Answer handle(const Bytes& frame) = 0;
  virtual Bytes unframeableAnswer() const { return {}; }
  // The commandKinds() name of a frame's command; "" for none the reader knows.
  virtual const char* kindOf(const Bytes& frame) const = 0;

 private:
  // From the frame's arrival (its first byte) to its reply.
  Clock::duration answerTime(const Bytes& frame) const;

  Model model_;
  Timing timing_;
  Field field_;
  Bytes pending_;
  Clock::time_point lastByteAt_{};
  Clock::time_point busyUntil_{};
  Bytes delayedReply_;
  bool busy_ = false;
};

}  // namespace rfid_sim

#endif  // RFID_SIM_READER_H
