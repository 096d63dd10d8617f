// Reader link: the one request/reply exchange on the serial port, and the
// sector key table that both protocols draw their keys from.
#include <poll.h>
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
constexpr int kModeBits = 2;
constexpr int kModeMask = (1 << kModeBits) - 1;
std::atomic<int> replyWait{rfid::kDefaultQuietMs << kModeBits | RFID_REPLY_WAIT_FIXED};

constexpr long long kNsPerSecond = 1000000000;
constexpr long long kNsPerMs = 1000000;

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

// How a request's reply says its length, told from the request: both
// protocols put a byte count in front of every frame, and their requests
// cannot be mistaken for each other (the one counts from byte 1, the other
// from byte 2).
enum class Framing {
  kUnknown,
  kCountByte,  // VOR: [count of the bytes after it]...[XOR of the others]
  kCount16,    // Elatec: [count of the bytes after the first two, little endian]...
};

// The shortest reply of each framing: VOR [count][code][checksum]; Elatec
// [count][count][status][result].
constexpr std::size_t kShortestCountByteReply = 3;
constexpr std::size_t kShortestCount16Reply = 4;
constexpr int kBitsPerByte = 10;  // 8N1: start bit, 8 data bits, stop bit

// A reader sends nothing after its reply, so bytes close behind the
// announced end mean the line carried more than this one frame (a reply
// doubled by a converter, or an earlier one relayed into the middle of
// this one, which can look whole by its count). The frame wait looks this
// long past the end, a few byte times and never less than scheduling
// noise, and takes what came so that the reply check sees it.
constexpr long long kTrailingBytes = 4;
constexpr long long kTrailingFloorNs = 2000000;

Framing framingOf(const unsigned char* request, int length) {
  if (length >= 3 && request[0] == length - 1) {
    unsigned char sum = 0;
    for (int i = 0; i < length - 1; ++i) sum ^= request[i];
    if (sum == request[length - 1]) return Framing::kCountByte;
  }
  if (length >= 4 && (request[0] | request[1] << 8) == length - 2) return Framing::kCount16;
  return Framing::kUnknown;
}

// The whole reply's length once its first bytes are in; 0 while they are not.
std::size_t announcedLength(Framing framing, const unsigned char* rx, std::size_t got) {
  if (framing == Framing::kCountByte && got >= 1) return 1 + std::size_t{rx[0]};
  if (framing == Framing::kCount16 && got >= 2) return 2 + (std::size_t{rx[0]} | rx[1] << 8);
  return 0;
}

std::size_t shortestReply(Framing framing) {
  return framing == Framing::kCountByte ? kShortestCountByteReply : kShortestCount16Reply;
}

// The time of one byte on the line, or 0 when the descriptor is no terminal.
long long byteTimeNs(int fd) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) return 0;
  static constexpr struct {
    speed_t code;
    long baud;
  } kSpeeds[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                 {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                 {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  const speed_t speed = cfgetispeed(&line);
  for (const auto& entry : kSpeeds) {
    if (entry.code == speed) return kNsPerSecond * kBitsPerByte / entry.baud;
  }
  return 0;
}

// True when input is waiting on `fd` within `ns` (not when the line hung up
// or a signal came).
bool readableWithin(int fd, long long ns) {
  pollfd port{fd, POLLIN, 0};
  const long long wait = std::max(ns, 0LL);
  const timespec span{static_cast<std::time_t>(wait / kNsPerSecond),
                      static_cast<long>(wait % kNsPerSecond)};
  return ppoll(&port, 1, &span, nullptr) == 1 && (port.revents & POLLIN) != 0;
}

// The frame wait: reads the reply into `rx` as it comes and ends when it is
// as long as it announced and nothing follows it within the trailing
// window, when the line has been quiet for `quietNs` after a byte, or at
// `deadline`. After each arrival it sleeps until the bytes still missing
// are due at `byteNs` each, so that a reply paced byte by byte wakes it two
// or three times rather than once per byte. Returns what the single read
// would have: the count, or a failed read's -1 when nothing came.
int frameExchangeRead(int fd, Framing framing, long long byteNs, long long quietNs,
                      long long deadline, unsigned char* rx) {
  if (!readableWithin(fd, deadline - nowNs())) {
    return static_cast<int>(read(fd, rx, rfid::kReceiveSize));
  }
  sleepNs(
      std::min(static_cast<long long>(shortestReply(framing) - 1) * byteNs, deadline - nowNs()));
  const long long trailingNs =
      std::min(quietNs, std::max(kTrailingBytes * byteNs, kTrailingFloorNs));
  std::size_t got = 0;
  for (;;) {
    const ssize_t count = read(fd, rx + got, rfid::kReceiveSize - got);
    if (count <= 0) return got > 0 ? static_cast<int>(got) : static_cast<int>(count);
    got += static_cast<std::size_t>(count);
    if (got >= rfid::kReceiveSize) break;
    const std::size_t whole = announcedLength(framing, rx, got);
    if (whole > 0 && got >= whole) {
      if (!readableWithin(fd, std::min(trailingNs, deadline - nowNs()))) break;
      continue;
    }
    const std::size_t due = (whole > 0 ? whole : shortestReply(framing)) - got;
    sleepNs(std::min(static_cast<long long>(due) * byteNs, deadline - nowNs()));
    if (!readableWithin(fd, std::min(quietNs, deadline - nowNs()))) break;
  }
  return static_cast<int>(got);
}

}  // namespace

namespace rfid {

Reply exchange(int fd, unsigned char* frame, std::size_t length, ReceiveArea& rx) {
  std::memset(rx, 0, sizeof rx);
  return Reply{rx, system_command(fd, frame, static_cast<int>(length), rx)};
}

namespace {

void logLine(LogSite site, LogLine line) {
  if (line.text != nullptr) RFID_LOG_FROM(site, "%s", "%s", line.level, line.text);
}

}  // namespace

bool logVerdict(LogSite site, Verdict verdict, const VerdictLog& lines, int replyCount) {
  switch (verdict) {
    case Verdict::kSuccess:
      logLine(site, lines.success);
      return true;
    case Verdict::kRefused:
      logLine(site, lines.refused);
      break;
    case Verdict::kRetry:
      logLine(site, lines.retry);
      break;
    case Verdict::kIncomplete:
      RFID_LOG_FROM(site, "Warn", "Incomplete reply: %d bytes.\n", replyCount);
      break;
    case Verdict::kSilent:
      break;
  }
  return false;
}

bool isCardBlock(LogSite site, int block) {
  if (sectorOfBlock(block) >= 0) return true;
  RFID_LOG_FROM(site, "Warn", "Block %d is out of range.\n", block);
  return false;
}

}  // namespace rfid

namespace {

// Waits for the reply to `request` and reads it into `rx`. A wait that
// tests swapped in stands for every mode.
int awaitReply(int fd, const unsigned char* request, int length, unsigned char* rx) {
  const int setting = replyWait.load(std::memory_order_relaxed);
  const int mode = setting & kModeMask;
  const int quietMs = setting >> kModeBits;
  if (rfid::exchangeWait != rfid::sleepExchangeWait || mode == RFID_REPLY_WAIT_FIXED) {
    rfid::exchangeWait();
  } else {
    const Framing framing =
        mode == RFID_REPLY_WAIT_FRAME ? framingOf(request, length) : Framing::kUnknown;
    const long long byteNs = framing != Framing::kUnknown ? byteTimeNs(fd) : 0;
    if (byteNs > 0) {
      const long long deadline = nowNs() + static_cast<long long>(rfid::quietWaitBoundUs) * 1000;
      return frameExchangeRead(fd, framing, byteNs, static_cast<long long>(quietMs) * kNsPerMs,
                               deadline, rx);
    }
    quietExchangeWait(fd, quietMs, rfid::quietWaitBoundUs);
  }
  return static_cast<int>(read(fd, rx, rfid::kReceiveSize));
}

}  // namespace

extern "C" int rfidSetReplyWait(int mode, int quietMs) {
  if ((mode != RFID_REPLY_WAIT_FIXED && mode != RFID_REPLY_WAIT_QUIET &&
       mode != RFID_REPLY_WAIT_FRAME) ||
      quietMs < 1 || quietMs > rfid::kMaxQuietMs) {
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

  const int received = awaitReply(uart, cmd, length, rx);
  rfid::noteExchange(received < 0 && errno != EAGAIN ? -errno : std::max(received, 0));
  return received;
}

extern "C" int rfidCardPresent(int uart, int moduleType, unsigned char* serialNumber) {
  if ((moduleType != MODULE_VOR && moduleType != MODULE_ELATEC) || serialNumber == nullptr) {
    return -1;
  }
  // The lines of getRequestCardSN and searchTag but the card type.
  static constexpr rfid::VerdictLog kVorLines = {{}, {}, rfid::info("Please try again.\n")};
  static constexpr rfid::VerdictLog kElatecLines = {};
  int serialLength = 0;
  int replyCount = 0;
  const bool vor = moduleType == MODULE_VOR;
  const rfid::Verdict verdict =
      vor ? rfid::vor::requestCard(uart, serialNumber, serialLength, replyCount)
          : rfid::elatec::searchForTag(uart, serialNumber, SEARCH, serialLength, replyCount);
  return rfid::logVerdict(RFID_LOG_SITE, verdict, vor ? kVorLines : kElatecLines, replyCount) ? 1
                                                                                              : 0;
}
