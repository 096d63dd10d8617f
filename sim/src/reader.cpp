#include "rfid_sim/reader.h"

#include <algorithm>

#include "models.h"

namespace rfid_sim {

std::chrono::microseconds Timing::byteTime() const {
  constexpr long kBitsPerByte = 10;  // start, 8 data, stop
  constexpr long kMicrosecondsPerSecond = 1000000;
  if (baud <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds((kBitsPerByte * kMicrosecondsPerSecond + baud - 1) / baud);
}

Timing Timing::typical(Model model) {
  using std::chrono::milliseconds;
  Timing timing;
  timing.baud = 9600;
  const milliseconds standard(model == Model::kVor ? 15 : 20);
  for (const std::string& kind : commandKinds(model)) timing.replyDelay[kind] = standard;
  if (model == Model::kElatec) timing.replyDelay["search"] = milliseconds(40);
  return timing;
}

const std::vector<std::string>& commandKinds(Model model) {
  static const std::vector<std::string> vor = {"request", "read", "write", "halt", "buzzer"};
  static const std::vector<std::string> elatec = {"search", "login", "read", "write",
                                                  "beep",   "sak",   "tdx"};
  return model == Model::kVor ? vor : elatec;
}

std::unique_ptr<Reader> Reader::create(Model model) {
  switch (model) {
    case Model::kVor:
      return makeVorReader();
    case Model::kElatec:
      return makeElatecReader();
  }
  return nullptr;
}

void Reader::receive(const std::uint8_t* bytes, std::size_t count, Clock::time_point now) {
  if (count == 0) return;
  // A partial frame that outwaited the receiver's patience is gone before
  // the new bytes arrive, even if service() was not called in between.
  if (!pending_.empty() && now - lastByteAt_ >= kInterByteTimeout && frameLength(pending_) == 0) {
    pending_.clear();
  }
  pending_.insert(pending_.end(), bytes, bytes + count);
  lastByteAt_ = now;
}

std::vector<Bytes> Reader::service(Clock::time_point now) {
  std::vector<Bytes> replies;
  for (;;) {
    if (busy_) {
      if (now < busyUntil_) break;
      busy_ = false;
      if (!delayedReply_.empty()) replies.push_back(std::move(delayedReply_));
      delayedReply_.clear();
    }
    if (pending_.empty()) break;
    const long length = frameLength(pending_);
    if (length < 0) {
      // Nothing to resynchronise on: the rest of this input is dropped.
      pending_.clear();
      Bytes answer = unframeableAnswer();
      if (!answer.empty()) replies.push_back(std::move(answer));
      break;
    }
    if (length == 0) {
      if (now - lastByteAt_ >= kInterByteTimeout) pending_.clear();
      break;
    }
    const Bytes frame(pending_.begin(), pending_.begin() + length);
    pending_.erase(pending_.begin(), pending_.begin() + length);
    Answer answer = handle(frame);
    const Clock::duration wait =
        std::max<Clock::duration>(answer.busyFor, answerTime(frame) + answer.airTime);
    if (wait.count() > 0) {
      busy_ = true;
      busyUntil_ = now + wait;
      delayedReply_ = std::move(answer.reply);
    } else if (!answer.reply.empty()) {
      replies.push_back(std::move(answer.reply));
    }
  }
  return replies;
}

Clock::duration Reader::answerTime(const Bytes& frame) const {
  const auto delay = timing_.replyDelay.find(kindOf(frame));
  return timing_.byteTime() * static_cast<long>(frame.size()) +
         (delay != timing_.replyDelay.end() ? delay->second : std::chrono::milliseconds(0));
}

std::optional<Clock::time_point> Reader::nextDeadline() const {
  if (busy_) return busyUntil_;
  if (!pending_.empty()) return lastByteAt_ + kInterByteTimeout;  // only a partial frame waits
  return std::nullopt;
}

}  // namespace rfid_sim
