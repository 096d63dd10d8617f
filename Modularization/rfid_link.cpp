// Reader link: the one request/reply exchange on the serial port, and the
// sector key table that both protocols draw their keys from.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "rfid_internal.h"

// Every row ships with the MIFARE transport key, the key that cards leave
// the factory with; hosts provision their own keys at run time.
unsigned char sectorKeyA[COLUMN][ROW] = {
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
};

namespace rfid {

// The readers answer within a few tens of milliseconds at 9600 baud, but
// neither protocol says where a reply ends; a fixed wait that outlasts the
// slowest answer, then one read, takes the whole reply without parsing it.
void sleepExchangeWait() {
  usleep(kExchangeWaitUs);
}

ExchangeWait exchangeWait = sleepExchangeWait;
unsigned quietWaitBoundUs = kExchangeWaitUs;

}  // namespace rfid

namespace {

// The reply wait a host chose, mode and quiet time in one word so that an
// exchange never sees the mode of one call with the quiet time of another.
constexpr int kModeBits = 1;
std::atomic<int> replyWait{rfid::kDefaultQuietMs << kModeBits | RFID_REPLY_WAIT_FIXED};

// How often the quiet wait looks at the count of pending bytes once the
// reply has begun. The end of a reply is seen at most this late, so the
// wait ends within quietMs plus this step of the last byte.
constexpr long kQuietStepNs = 1000000;
constexpr long kNsPerSecond = 1000000000;
constexpr long kNsPerMs = 1000000;

long long nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// Sleeps `ns`; false when a signal cut it short, which ends the wait as it
// ends the fixed sleep.
bool sleepNs(long long ns) {
  if (ns <= 0) return true;
  const timespec span{static_cast<std::time_t>(ns / kNsPerSecond),
                      static_cast<long>(ns % kNsPerSecond)};
  return nanosleep(&span, nullptr) == 0;
}

// Only terminals, pipes and sockets say truthfully whether input is pending:
// a regular file polls readable and counts its unread rest at all times.
bool reportsPendingInput(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  return S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
}

// Bytes waiting to be read, or -1 when the descriptor cannot tell.
int pendingBytes(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

enum class FirstByte { kArrived, kNone, kCannotTell };

// Waits for the first reply byte. kNone: the bound passed or a signal came.
// kCannotTell: the descriptor reported something other than input (a hang-up).
FirstByte awaitFirstByte(int fd, long long deadline) {
  const long long remaining = deadline - nowNs();
  if (remaining <= 0) return FirstByte::kNone;
  pollfd input{fd, POLLIN, 0};
  const timespec span{static_cast<std::time_t>(remaining / kNsPerSecond),
                      static_cast<long>(remaining % kNsPerSecond)};
  if (ppoll(&input, 1, &span, nullptr) <= 0) return FirstByte::kNone;
  if ((input.revents & POLLIN) == 0 || pendingBytes(fd) <= 0) return FirstByte::kCannotTell;
  return FirstByte::kArrived;
}

// Once the reply has begun: until the count of pending bytes has not changed
// for `quietNs`, or the deadline. Nothing is read, so that the exchange
// still takes the reply with its one read.
void awaitQuiet(int fd, long long quietNs, long long deadline) {
  int seen = pendingBytes(fd);
  long long lastChange = nowNs();
  for (;;) {
    const long long now = nowNs();
    const long long end = std::min(lastChange + quietNs, deadline);
    if (now >= end) return;
    if (!sleepNs(std::min<long long>(kQuietStepNs, end - now))) return;
    const int count = pendingBytes(fd);
    if (count < 0) {
      (void)sleepNs(deadline - nowNs());
      return;
    }
    if (count != seen) {
      seen = count;
      lastChange = nowNs();
    }
  }
}

}  // namespace

namespace rfid {

void quietExchangeWait(int fd, int quietMs, unsigned boundUs) {
  const long long deadline = nowNs() + static_cast<long long>(boundUs) * 1000;
  if (!reportsPendingInput(fd)) {
    (void)sleepNs(deadline - nowNs());
    return;
  }
  switch (awaitFirstByte(fd, deadline)) {
    case FirstByte::kArrived:
      awaitQuiet(fd, static_cast<long long>(quietMs) * kNsPerMs, deadline);
      return;
    case FirstByte::kNone:
      return;
    case FirstByte::kCannotTell:
      (void)sleepNs(deadline - nowNs());
      return;
  }
}

Reply exchange(int fd, unsigned char* frame, std::size_t length, ReceiveArea& rx) {
  std::memset(rx, 0, sizeof rx);
  return Reply{rx, system_command(fd, frame, static_cast<int>(length), rx)};
}

}  // namespace rfid

namespace {

// A wait that tests swapped in stands for either mode.
void waitForReply(int fd) {
  const int setting = replyWait.load(std::memory_order_relaxed);
  if (rfid::exchangeWait != rfid::sleepExchangeWait ||
      (setting & ((1 << kModeBits) - 1)) != RFID_REPLY_WAIT_QUIET) {
    rfid::exchangeWait();
    return;
  }
  rfid::quietExchangeWait(fd, setting >> kModeBits, rfid::quietWaitBoundUs);
}

}  // namespace

extern "C" int rfidSetReplyWait(int mode, int quietMs) {
  if ((mode != RFID_REPLY_WAIT_FIXED && mode != RFID_REPLY_WAIT_QUIET) || quietMs < 1 ||
      quietMs > rfid::kMaxQuietMs) {
    return -1;
  }
  replyWait.store(quietMs << kModeBits | mode, std::memory_order_relaxed);
  return 0;
}

extern "C" int system_command(int uart, unsigned char* cmd, int length, unsigned char* rx) {
  if (cmd == nullptr || rx == nullptr || length < 0) return 0;

  // Whatever is still pending belongs to an earlier exchange (a late or
  // over-long reply); dropping it keeps it out of this reply.
  (void)tcflush(uart, TCIOFLUSH);

  if (write(uart, cmd, static_cast<std::size_t>(length)) < 0) {
    // The frame is shown as raw text up to its first zero byte, and never
    // past its 4th byte: block frames carry the sector key from byte 4 on.
    char shown[rfid::kLoggedFrameBytes + 1] = {};
    const std::size_t limit = std::min(static_cast<std::size_t>(length), rfid::kLoggedFrameBytes);
    for (std::size_t i = 0; i < limit && cmd[i] != 0; ++i) shown[i] = static_cast<char>(cmd[i]);
    DEBUG_ERROR_1("system command %s response fail.\n", shown);
    return 0;
  }

  waitForReply(uart);
  return static_cast<int>(read(uart, rx, rfid::kReceiveSize));
}
