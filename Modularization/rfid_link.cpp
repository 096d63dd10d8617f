// Reader link: the one request/reply exchange on the serial port, and the
// sector key table that both protocols draw their keys from.
#include <sys/epoll.h>
#include <sys/ioctl.h>
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

constexpr long kNsPerSecond = 1000000000;
constexpr long kNsPerMs = 1000000;

long long nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// Sleeps `ns`. A signal that cuts it short ends it, as it ends the fixed
// sleep: it is not resumed.
void sleepNs(long long ns) {
  if (ns <= 0) return;
  const timespec span{static_cast<std::time_t>(ns / kNsPerSecond),
                      static_cast<long>(ns % kNsPerSecond)};
  nanosleep(&span, nullptr);
}

// Bytes waiting to be read, or -1 when the descriptor cannot tell.
int pendingBytes(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// Whole milliseconds from now to `end`, rounded up (epoll's resolution):
// a wait ends at most 1 ms after its time.
int millisecondsUntil(long long end, long long now) {
  return static_cast<int>((end - now + kNsPerMs - 1) / kNsPerMs);
}

// Sleeps to the first byte, then until no byte has come for `quietNs`,
// never past `deadline`. Nothing is read: the exchange still takes the
// reply with its one read. An edge-triggered epoll wakes the wait at each
// arrival even while earlier bytes lie unread, so it sleeps until a byte
// comes or the time is up instead of looking at the line every
// millisecond; the count of pending bytes tells an arrival from a spurious
// wake-up (a hang-up wakes it once and then leaves it to the deadline).
// False when the descriptor cannot report its input (epoll refuses regular
// files and devices without poll), after which the caller sleeps out the
// fixed wait.
bool awaitQuiet(int fd, long long quietNs, long long deadline) {
  const rfid::FileDescriptor events(epoll_create1(EPOLL_CLOEXEC));
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLET;
  if (events.get() < 0 || epoll_ctl(events.get(), EPOLL_CTL_ADD, fd, &interest) != 0) return false;
  int seen = 0;
  long long lastArrival = 0;
  for (;;) {
    const long long now = nowNs();
    const long long end = seen > 0 ? std::min(lastArrival + quietNs, deadline) : deadline;
    if (now >= end) return true;
    epoll_event ready{};
    const int woken = epoll_wait(events.get(), &ready, 1, millisecondsUntil(end, now));
    if (woken < 0) return true;  // a signal ends the wait, as it ends the fixed sleep
    if (woken == 0) continue;
    const int count = pendingBytes(fd);
    if (count < 0) return false;
    if (count != seen) {
      seen = count;
      lastArrival = nowNs();
    }
  }
}

// The quiet wait on `fd`: until bytes have arrived and the line has been
// quiet for `quietMs`, at most `boundUs` after its start; the fixed wait's
// sleep for a descriptor that cannot report its input.
void quietExchangeWait(int fd, int quietMs, unsigned boundUs) {
  const long long deadline = nowNs() + static_cast<long long>(boundUs) * 1000;
  if (!awaitQuiet(fd, static_cast<long long>(quietMs) * kNsPerMs, deadline)) {
    sleepNs(deadline - nowNs());
  }
}

}  // namespace

namespace rfid {

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
  quietExchangeWait(fd, setting >> kModeBits, rfid::quietWaitBoundUs);
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
    rfid::noteExchange(-errno);
    // The frame is shown as raw text up to its first zero byte, and never
    // past its 4th byte: block frames carry the sector key from byte 4 on.
    char shown[rfid::kLoggedFrameBytes + 1] = {};
    const std::size_t limit = std::min(static_cast<std::size_t>(length), rfid::kLoggedFrameBytes);
    for (std::size_t i = 0; i < limit && cmd[i] != 0; ++i) shown[i] = static_cast<char>(cmd[i]);
    DEBUG_ERROR_1("system command %s response fail.\n", shown);
    return 0;
  }

  waitForReply(uart);
  const int received = static_cast<int>(read(uart, rx, rfid::kReceiveSize));
  rfid::noteExchange(received < 0 && errno != EAGAIN ? -errno : std::max(received, 0));
  return received;
}
