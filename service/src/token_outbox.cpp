#include "token_outbox.h"

#include <algorithm>
#include <utility>

namespace rfid_tokend {

TokenOutbox::TokenOutbox(SteadyClock::duration maxAge, SteadyClock::duration ackTimeout,
                         std::size_t capacity)
    : maxAge_(maxAge), ackTimeout_(ackTimeout), capacity_(std::max<std::size_t>(capacity, 1)) {}

std::optional<TokenOutbox::Token> TokenOutbox::add(Token token) {
  std::optional<Token> dropped;
  if (queue_.size() >= capacity_) {
    dropped = std::move(queue_.front());
    queue_.pop_front();
  }
  queue_.push_back(std::move(token));
  return dropped;
}

std::vector<TokenOutbox::Token> TokenOutbox::dropStale(SteadyClock::time_point now) {
  std::vector<Token> stale;
  while (!queue_.empty() && now - queue_.front().readAt > maxAge_) {
    stale.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return stale;
}

const TokenOutbox::Token* TokenOutbox::next() const {
  return queue_.empty() ? nullptr : &queue_.front();
}

void TokenOutbox::sent(int messageId, SteadyClock::time_point now) {
  if (queue_.empty()) return;
  sent_[messageId] = {std::move(queue_.front()), now};
  queue_.pop_front();
}

void TokenOutbox::acknowledged(int messageId) {
  sent_.erase(messageId);
}

bool TokenOutbox::acknowledgementOverdue(SteadyClock::time_point now) const {
  return std::any_of(sent_.begin(), sent_.end(),
                     [&](const auto& entry) { return now - entry.second.sentAt >= ackTimeout_; });
}

void TokenOutbox::requeueUnacknowledged() {
  std::vector<Token> resend;
  resend.reserve(sent_.size());
  for (auto& [id, entry] : sent_) resend.push_back(std::move(entry.token));
  sent_.clear();
  std::stable_sort(resend.begin(), resend.end(),
                   [](const Token& a, const Token& b) { return a.readAt < b.readAt; });
  queue_.insert(queue_.begin(), std::make_move_iterator(resend.begin()),
                std::make_move_iterator(resend.end()));
}

SteadyClock::time_point TokenOutbox::dueBy(SteadyClock::time_point bound) const {
  if (!queue_.empty()) bound = std::min(bound, queue_.front().readAt + maxAge_);
  for (const auto& [id, entry] : sent_) bound = std::min(bound, entry.sentAt + ackTimeout_);
  return bound;
}

}  // namespace rfid_tokend
