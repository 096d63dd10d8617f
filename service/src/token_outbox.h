// The tokens on their way to the broker: queued until a connection takes
// them, then sent and waiting for the broker's acknowledgement. No I/O and
// no clock of its own: MqttLink publishes what it hands out, tells it what
// the broker acknowledged, and logs what it drops.
#ifndef RFID_TOKEND_TOKEN_OUTBOX_H
#define RFID_TOKEND_TOKEN_OUTBOX_H

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "debouncer.h"  // SteadyClock

namespace rfid_tokend {

class TokenOutbox {
 public:
  struct Token {
    std::string payload;
    std::string reader;
    SteadyClock::time_point readAt;
  };

  // Tokens older than `maxAge` are not sent; a sent token not acknowledged
  // within `ackTimeout` means the connection is dead; at most `capacity`
  // tokens wait to be sent.
  TokenOutbox(SteadyClock::duration maxAge, SteadyClock::duration ackTimeout, std::size_t capacity);

  // Queues a token; returns the oldest waiting one when the queue was full
  // and that one had to go.
  std::optional<Token> add(Token token);
  // Drops the waiting tokens older than the max age, oldest first.
  std::vector<Token> dropStale(SteadyClock::time_point now);
  // The next token to send, or null when none waits.
  const Token* next() const;
  // next() went out as `messageId` at `now`: it waits for its acknowledgement.
  void sent(int messageId, SteadyClock::time_point now);
  // The broker acknowledged `messageId` (ids that are not tokens are ignored).
  void acknowledged(int messageId);
  // A sent token has waited its acknowledgement timeout.
  bool acknowledgementOverdue(SteadyClock::time_point now) const;
  // The connection went: what the broker did not acknowledge waits again,
  // ahead of the rest and in the order it was read.
  void requeueUnacknowledged();
  // When a waiting token grows too old or an acknowledgement falls due,
  // if that is before `bound`; else `bound`.
  SteadyClock::time_point dueBy(SteadyClock::time_point bound) const;

  std::size_t waiting() const { return queue_.size(); }
  std::size_t unacknowledged() const { return sent_.size(); }

 private:
  struct SentToken {
    Token token;
    SteadyClock::time_point sentAt;
  };

  SteadyClock::duration maxAge_;
  SteadyClock::duration ackTimeout_;
  std::size_t capacity_;
  std::deque<Token> queue_;
  std::map<int, SentToken> sent_;
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_TOKEN_OUTBOX_H
