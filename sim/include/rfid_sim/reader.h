// The two simulated reader models, free of any I/O: bytes from the host go
// in with the time they arrived, replies come out when they are due. The
// pseudo-terminal around them lives in simulator.h; tests drive these
// classes directly with a clock of their own.
#ifndef RFID_SIM_READER_H
#define RFID_SIM_READER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rfid_sim/card.h"

namespace rfid_sim {

using Clock = std::chrono::steady_clock;

enum class Model { kVor, kElatec };
std::optional<Model> modelFromName(const std::string& name);
const char* modelName(Model model);

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

 private:
  Model model_;
  Field field_;
  Bytes pending_;
  Clock::time_point lastByteAt_{};
  Clock::time_point busyUntil_{};
  Bytes delayedReply_;
  bool busy_ = false;
};

}  // namespace rfid_sim

#endif  // RFID_SIM_READER_H
