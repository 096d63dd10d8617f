#include "rfid_sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "rfid_serial/serial_port.h"

namespace rfid_sim {
namespace {

constexpr std::size_t kReadChunk = 256;
constexpr std::chrono::microseconds kVisibilityPoll{200};

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Writes all of `count` bytes; the master side of a pseudo-terminal takes a
// few kilobytes before it blocks, far more than one reply.
void writeAll(int fd, const std::uint8_t* bytes, std::size_t count) {
  std::size_t written = 0;
  while (written < count) {
    const ssize_t put = ::write(fd, bytes + written, count - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;  // the host side is gone; nothing to answer to
    written += static_cast<std::size_t>(put);
  }
}

}  // namespace

Simulator::Simulator(Model model, std::optional<Card> card)
    : model_(model), reader_(Reader::create(model)), lastCard_(card) {
  // The recipe: open the master, grant, unlock, open the serial side and
  // keep it open, raw mode.
  master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master_.valid()) fail("posix_openpt");
  if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) fail("grantpt");
  char name[128] = {};
  if (::ptsname_r(master_.get(), name, sizeof name) != 0) fail("ptsname");
  portPath_ = name;
  serial_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!serial_.valid()) fail(name);
  if (!rfid_serial::configureRawPort(serial_.get(), rfid_serial::kDefaultBaud)) fail("tcsetattr");
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe");
  wakeRead_.reset(wake[0]);
  wakeWrite_.reset(wake[1]);
  if (card) reader_->field().insert(*card);
  thread_ = std::thread([this] { run(); });
}

Simulator::~Simulator() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  const char byte = 0;
  (void)::write(wakeWrite_.get(), &byte, 1);
  if (thread_.joinable()) thread_.join();
}

void Simulator::saveCardTo(CardFile file) {
  const std::lock_guard<std::mutex> lock(mutex_);
  cardFile_ = std::move(file);
  const Card* card = reader_->field().card();
  savedWrites_ = card != nullptr ? card->writeCount() : 0;
}

void Simulator::setTiming(Timing timing) {
  const std::lock_guard<std::mutex> lock(mutex_);
  byteTime_ = timing.byteTime();
  reader_->setTiming(std::move(timing));
}

void Simulator::setTrace(Trace trace) {
  const std::lock_guard<std::mutex> lock(mutex_);
  trace_ = std::move(trace);
}

std::string Simulator::saveError() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return saveError_;
}

void Simulator::insertCard(Card card) {
  const std::lock_guard<std::mutex> lock(mutex_);
  lastCard_ = card;
  savedWrites_ = card.writeCount();
  reader_->field().insert(card);
}

void Simulator::insertCard() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!reader_->field().hasCard() && lastCard_) reader_->field().insert(*lastCard_);
}

void Simulator::removeCard() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (auto card = reader_->field().remove()) lastCard_ = card;
}

void Simulator::removeCardAfterWrites(unsigned long writes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const Card* card = reader_->field().card();
  leaveAtWrite_ = writes == 0 || card == nullptr ? 0 : card->writeCount() + writes;
}

std::optional<Card> Simulator::card() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const Card* card = reader_->field().card();
  return card != nullptr ? std::optional<Card>(*card) : std::nullopt;
}

unsigned long Simulator::bytesReceived() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return bytesReceived_;
}

bool Simulator::waitForReply(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t expected = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!replied_.wait_until(lock, deadline, [this] { return repliesSent_ > repliesWaited_; })) {
      return false;
    }
    repliesWaited_ = repliesSent_;
    expected = lastReplySize_;
  }
  // Bytes move from one side of a pseudo-terminal to the other
  // asynchronously: the reply has been written, but is it readable yet?
  while (Clock::now() < deadline) {
    int readable = 0;
    if (::ioctl(serial_.get(), FIONREAD, &readable) == 0 &&
        static_cast<std::size_t>(readable) >= expected) {
      return true;
    }
    std::this_thread::sleep_for(kVisibilityPoll);
  }
  return false;
}

// Called with the lock held.
void Simulator::saveIfChanged() {
  const Card* card = reader_->field().card();
  if (cardFile_.path.empty() || card == nullptr || card->writeCount() == savedWrites_) return;
  savedWrites_ = card->writeCount();
  std::string error;
  saveError_ = saveCardFile(cardFile_, *card, error) ? std::string() : error;
}

void Simulator::queueReply(Bytes reply, Clock::time_point now) {
  if (trace_) trace_(false, reply.data(), reply.size());
  if (byteTime_.count() == 0) {
    writeAll(master_.get(), reply.data(), reply.size());
    ++repliesSent_;
    lastReplySize_ = reply.size();
    return;
  }
  // A byte is readable once its last bit is in: one byte time after the
  // line was free.
  if (outgoing_.empty()) nextByteAt_ = std::max(nextByteAt_, now + byteTime_);
  outgoing_.push_back(std::move(reply));
}

void Simulator::sendDueBytes(Clock::time_point now) {
  while (!outgoing_.empty() && nextByteAt_ <= now) {
    const Bytes& front = outgoing_.front();
    // A late wake-up sends every byte whose time has come at once.
    const auto due = static_cast<std::size_t>(1 + (now - nextByteAt_) / byteTime_);
    const std::size_t count = std::min(front.size() - sentOfFront_, due);
    writeAll(master_.get(), front.data() + sentOfFront_, count);
    sentOfFront_ += count;
    nextByteAt_ += byteTime_ * static_cast<long>(count);
    if (sentOfFront_ == front.size()) {
      ++repliesSent_;
      lastReplySize_ = front.size();
      outgoing_.pop_front();
      sentOfFront_ = 0;
    }
  }
}

std::optional<Clock::time_point> Simulator::nextWakeUp() const {
  std::optional<Clock::time_point> next = reader_->nextDeadline();
  if (!outgoing_.empty() && (!next || nextByteAt_ < *next)) next = nextByteAt_;
  return next;
}

void Simulator::run() {
  std::uint8_t buffer[kReadChunk];
  for (;;) {
    timespec timeout{};
    timespec* wait = nullptr;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      if (const auto next = nextWakeUp()) {
        const auto span = std::max<Clock::duration>(Clock::duration(0), *next - Clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
        timeout.tv_sec = static_cast<std::time_t>(seconds.count());
        timeout.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(span - seconds).count());
        wait = &timeout;
      }
    }
    pollfd fds[2] = {{master_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    const int ready = ::ppoll(fds, 2, wait, nullptr);
    if (ready < 0 && errno != EINTR) return;

    ssize_t got = 0;
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      got = ::read(master_.get(), buffer, sizeof buffer);
    }
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      char drain[16];
      while (::read(wakeRead_.get(), drain, sizeof drain) > 0) {
      }
    }

    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    const auto now = Clock::now();
    if (got > 0) {
      bytesReceived_ += static_cast<unsigned long>(got);
      if (trace_) trace_(true, buffer, static_cast<std::size_t>(got));
      reader_->receive(buffer, static_cast<std::size_t>(got), now);
    }
    for (Bytes& reply : reader_->service(now)) queueReply(std::move(reply), now);
    sendDueBytes(now);
    saveIfChanged();
    if (const Card* card = reader_->field().card();
        card != nullptr && leaveAtWrite_ != 0 && card->writeCount() >= leaveAtWrite_) {
      leaveAtWrite_ = 0;
      if (auto left = reader_->field().remove()) lastCard_ = left;
    }
    replied_.notify_all();
  }
}

}  // namespace rfid_sim
