// Reader faults through a pseudo-terminal, for every operation: a reader
// unplugged in the middle of an exchange, noise on the line, an over-long
// reply, no reply at all and a descriptor that was closed. Each gives the
// documented result without a hang or a crash, and the next exchange on a
// working reader succeeds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "operations.h"

namespace rfid::hardening {
namespace {

using rfid::testing::LogCapture;

// A pseudo-terminal whose master side plays a misbehaving reader. The
// module's exchange wait runs `duringWait`, which decides what the reader
// does between the request and the module's single read.
class FaultyReader {
 public:
  FaultyReader() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      throw std::runtime_error("cannot open a pseudo-terminal");
    }
    serial_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    if (serial_ < 0) throw std::runtime_error("cannot open the serial side");
    makeRaw(serial_);
    makeRaw(master_);
    active = this;
    rfid::exchangeWait = [] { active->duringWait(); };
  }
  ~FaultyReader() {
    rfid::exchangeWait = rfid::sleepExchangeWait;
    active = nullptr;
    if (serial_ >= 0) close(serial_);
    closeMaster();
  }
  FaultyReader(const FaultyReader&) = delete;
  FaultyReader& operator=(const FaultyReader&) = delete;

  int fd() const { return serial_; }

  // The reader side reads the request that the module just wrote.
  Bytes takeRequest() {
    Bytes request;
    pollfd pending{master_, POLLIN, 0};
    unsigned char chunk[512];
    while (poll(&pending, 1, request.empty() ? 1000 : 5) > 0) {
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) break;
      request.insert(request.end(), chunk, chunk + n);
    }
    return request;
  }

  // Bytes leave the reader and are waited for until the serial side has
  // them, so that the module's read finds them.
  void send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) throw std::runtime_error("cannot write to the master side");
      done += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int available = 0;
    while (std::chrono::steady_clock::now() < deadline &&
           (ioctl(serial_, FIONREAD, &available) != 0 ||
            static_cast<std::size_t>(available) < bytes.size())) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  void closeMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  std::function<void()> duringWait = [] {};

 private:
  static void makeRaw(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;  // a read returns at once when nothing has arrived
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
  }

  static FaultyReader* active;
  int master_ = -1;
  int serial_ = -1;
};
FaultyReader* FaultyReader::active = nullptr;

const Bytes kNoise = {0xFF, 0x00, 0xFF, 0x55};
constexpr unsigned char kCanary = 0xC5;

enum class Fault {
  kUnplugged,
  kNoReply,
  kClosedDescriptor,
  kNoiseBeforeTheRequest,
  kNoiseAheadOfTheReply,
  kNoiseAfterTheReply,
  kLateNoise,
  kOverlongReply,
};

std::string faultName(Fault fault) {
  switch (fault) {
    case Fault::kUnplugged:
      return "Unplugged";
    case Fault::kNoReply:
      return "NoReply";
    case Fault::kClosedDescriptor:
      return "ClosedDescriptor";
    case Fault::kNoiseBeforeTheRequest:
      return "NoiseBeforeTheRequest";
    case Fault::kNoiseAheadOfTheReply:
      return "NoiseAheadOfTheReply";
    case Fault::kNoiseAfterTheReply:
      return "NoiseAfterTheReply";
    case Fault::kLateNoise:
      return "LateNoise";
    case Fault::kOverlongReply:
      return "OverlongReply";
  }
  return "Unknown";
}

struct RunResult {
  Outcome outcome;
  std::chrono::steady_clock::duration took;
  bool bufferUntouched;
};

RunResult runOperation(const Operation& operation, int fd) {
  unsigned char buffer[kBlockSize];
  std::memset(buffer, kCanary, sizeof buffer);
  const Arguments arguments{5, buffer};
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = operation.call(fd, MODULE_VOR, arguments);
  const auto took = std::chrono::steady_clock::now() - start;
  bool untouched = true;
  for (unsigned char b : buffer) untouched = untouched && b == kCanary;
  return {outcome, took, untouched};
}

bool anyLineContains(LogCapture& log, const std::string& text) {
  for (const std::string& line : log.messages()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

class ReaderFaultTest : public ::testing::TestWithParam<std::tuple<Fault, std::size_t>> {
 protected:
  const Operation& operation() const { return allOperations()[std::get<1>(GetParam())]; }
  Fault fault() const { return std::get<0>(GetParam()); }

  // The exchange after a fault, on a freshly attached working reader.
  void expectNextExchangeSucceeds() {
    FaultyReader working;
    working.duringWait = [&] {
      working.takeRequest();
      working.send(operation().successReply);
    };
    EXPECT_EQ(runOperation(operation(), working.fd()).outcome, operation().onSuccess);
  }

  LogCapture log_;
};

// Generous: a fault must never make an exchange hang; with the wait
// replaced, a sound exchange takes milliseconds.
constexpr auto kNoHang = std::chrono::seconds(5);

TEST_P(ReaderFaultTest, GivesTheDocumentedResultAndTheNextExchangeSucceeds) {
  const Operation& op = operation();
  FaultyReader reader;
  RunResult run{};
  switch (fault()) {
    case Fault::kUnplugged: {
      reader.duringWait = [&] {
        reader.takeRequest();
        reader.closeMaster();
      };
      run = runOperation(op, reader.fd());
      EXPECT_TRUE(log_.messages().empty()) << "a failed read is silent";
      // The port stays gone: the next request cannot even be written.
      const RunResult again = runOperation(op, reader.fd());
      EXPECT_EQ(again.outcome, op.onNoReply);
      EXPECT_TRUE(anyLineContains(log_, "[Error] system command "));
      break;
    }
    case Fault::kNoReply:
      reader.duringWait = [&] { reader.takeRequest(); };
      run = runOperation(op, reader.fd());
      EXPECT_TRUE(log_.messages().empty());
      break;
    case Fault::kClosedDescriptor: {
      const int closed = dup(reader.fd());
      close(closed);
      run = runOperation(op, closed);
      // One Error line and nothing else. The frame bytes it shows are raw:
      // the block-read and login frames start with 0x0A, a newline.
      const std::string console = log_.console();
      const std::size_t error = console.find("[Error] system command ");
      ASSERT_NE(error, std::string::npos) << console;
      EXPECT_EQ(console.find("[Error]", error + 1), std::string::npos) << console;
      EXPECT_EQ(console.find("[Info]"), std::string::npos) << console;
      EXPECT_EQ(console.find("[Warn]"), std::string::npos) << console;
      break;
    }
    case Fault::kNoiseBeforeTheRequest:
      reader.send(kNoise);  // pending before the exchange: discarded by it
      reader.duringWait = [&] {
        reader.takeRequest();
        reader.send(op.successReply);
      };
      run = runOperation(op, reader.fd());
      EXPECT_EQ(run.outcome, op.onSuccess);
      break;
    case Fault::kNoiseAheadOfTheReply:
      reader.duringWait = [&] {
        reader.takeRequest();
        Bytes garbled = kNoise;
        garbled.insert(garbled.end(), op.successReply.begin(), op.successReply.end());
        reader.send(garbled);
      };
      run = runOperation(op, reader.fd());
      EXPECT_EQ(run.outcome, op.onNoReply);
      EXPECT_FALSE(anyLineContains(log_, "ok.") || anyLineContains(log_, "pass.") ||
                   anyLineContains(log_, "successfully.") || anyLineContains(log_, "Card type"));
      break;
    case Fault::kNoiseAfterTheReply:
      reader.duringWait = [&] {
        reader.takeRequest();
        Bytes trailing = op.successReply;
        trailing.insert(trailing.end(), kNoise.begin(), kNoise.end());
        reader.send(trailing);
      };
      run = runOperation(op, reader.fd());
      EXPECT_EQ(run.outcome, op.onSuccess);
      break;
    case Fault::kLateNoise:
    case Fault::kOverlongReply: {
      // The tail of the reply (or noise after it) is still pending when the
      // next exchange starts, and must not reach that exchange's reply.
      reader.duringWait = [&] {
        reader.takeRequest();
        Bytes reply = op.successReply;
        if (fault() == Fault::kOverlongReply) reply.resize(300, 0x5A);
        reader.send(reply);
      };
      run = runOperation(op, reader.fd());
      EXPECT_EQ(run.outcome, op.onSuccess);
      reader.send(kNoise);
      const RunResult next = runOperation(op, reader.fd());
      EXPECT_EQ(next.outcome, op.onSuccess);
      break;
    }
  }
  EXPECT_LT(run.took, kNoHang);
  const bool failed = fault() == Fault::kUnplugged || fault() == Fault::kNoReply ||
                      fault() == Fault::kClosedDescriptor ||
                      fault() == Fault::kNoiseAheadOfTheReply;
  if (failed) {
    EXPECT_EQ(run.outcome, op.onNoReply);
    if (op.takesBuffer) {
      EXPECT_TRUE(run.bufferUntouched) << "output written without a reply";
    }
  }
  expectNextExchangeSucceeds();
}

INSTANTIATE_TEST_SUITE_P(
    AllOperations, ReaderFaultTest,
    ::testing::Combine(::testing::Values(Fault::kUnplugged, Fault::kNoReply,
                                         Fault::kClosedDescriptor, Fault::kNoiseBeforeTheRequest,
                                         Fault::kNoiseAheadOfTheReply, Fault::kNoiseAfterTheReply,
                                         Fault::kLateNoise, Fault::kOverlongReply),
                       ::testing::Range<std::size_t>(0, allOperations().size())),
    [](const ::testing::TestParamInfo<ReaderFaultTest::ParamType>& param) {
      return faultName(std::get<0>(param.param)) + "_" +
             allOperations()[std::get<1>(param.param)].name;
    });

}  // namespace
}  // namespace rfid::hardening
