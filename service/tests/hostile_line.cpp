#include "hostile_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <random>
#include <stdexcept>
#include <vector>

#include "rfid_serial/serial_port.h"

namespace rfid_tokend_test {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
// A reply has ended when the reader's line has been quiet this long (its
// bytes come about 1 ms apart at 9600 baud).
constexpr std::chrono::milliseconds kReplyEnds{5};

void writeAll(int fd, const Bytes& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (put <= 0) return;
    written += static_cast<std::size_t>(put);
  }
}

}  // namespace

HostileLine::HostileLine(rfid_sim::Simulator& reader) {
  master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master_.valid() || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  char name[128] = {};
  ::ptsname_r(master_.get(), name, sizeof name);
  portPath_ = name;
  keepOpen_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  rfid_serial::configureRawPort(keepOpen_.get(), rfid_serial::kDefaultBaud);
  std::string fault;
  reader_ = rfid_serial::openSerialPort(reader.portPath(), rfid_serial::kDefaultBaud, fault);
  if (!reader_.valid()) throw std::runtime_error(fault);
  thread_ = std::thread([this] { run(); });
}

HostileLine::~HostileLine() {
  stopping_ = true;
  thread_.join();
}

void HostileLine::run() {
  std::mt19937 random(42);
  Bytes reply;      // of the reader, still coming
  Bytes lastReply;  // the one before, whole
  Clock::time_point lastByte{};
  std::deque<std::pair<Clock::time_point, Bytes>> later;  // doubled replies
  unsigned char chunk[512];
  unsigned long replies = 0;
  while (!stopping_) {
    pollfd fds[2] = {{master_.get(), POLLIN, 0}, {reader_.get(), POLLIN, 0}};
    ::poll(fds, 2, 1);
    const Mode mode = mode_;
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t got = ::read(master_.get(), chunk, sizeof chunk);
      if (got > 0 && mode != Mode::kSilent) writeAll(reader_.get(), Bytes(chunk, chunk + got));
    }
    if ((fds[1].revents & POLLIN) != 0) {
      const ssize_t got = ::read(reader_.get(), chunk, sizeof chunk);
      if (got > 0) {
        const Bytes bytes(chunk, chunk + got);
        if (mode == Mode::kRelay || mode == Mode::kTwice) writeAll(master_.get(), bytes);
        reply.insert(reply.end(), bytes.begin(), bytes.end());
        lastByte = Clock::now();
      }
    }
    const auto now = Clock::now();
    if (!reply.empty() && now - lastByte >= kReplyEnds) {
      if (mode == Mode::kTwice) {
        const auto delay = std::chrono::milliseconds(25 + random() % 76);
        later.emplace_back(now + delay, reply);
        ++tampered_;
      } else if (mode == Mode::kSpliced) {
        Bytes spliced = reply;
        if (!lastReply.empty() && ++replies % 3 == 0) {
          const std::size_t count = 1 + random() % std::min<std::size_t>(4, lastReply.size());
          const std::size_t from = random() % (lastReply.size() - count + 1);
          const std::size_t at = random() % (spliced.size() + 1);
          spliced.insert(spliced.begin() + static_cast<long>(at),
                         lastReply.begin() + static_cast<long>(from),
                         lastReply.begin() + static_cast<long>(from + count));
          ++tampered_;
        }
        writeAll(master_.get(), spliced);
      }
      lastReply = reply;
      reply.clear();
    }
    while (!later.empty() && later.front().first <= now) {
      writeAll(master_.get(), later.front().second);
      later.pop_front();
    }
  }
}

}  // namespace rfid_tokend_test
