// Reader faults through a pseudo-terminal, for every operation: a reader
// unplugged in the middle of an exchange, noise on the line, an over-long
// reply, no reply at all and a descriptor that was closed. Each gives the
// documented result without a hang or a crash, and the next exchange on a
// working reader succeeds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "module_fixture.h"
#include "operations.h"

namespace rfid::hardening {
namespace {

using rfid::testing::LogCapture;
using rfid::testing::ScriptedReader;

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
const char* const kFaultNames[] = {"Unplugged",
                                   "NoReply",
                                   "ClosedDescriptor",
                                   "NoiseBeforeTheRequest",
                                   "NoiseAheadOfTheReply",
                                   "NoiseAfterTheReply",
                                   "LateNoise",
                                   "OverlongReply"};

// A serial port whose reader is unplugged while the module waits for the
// reply: the master side of its pseudo-terminal closes, and every later
// read or write on the port fails.
int unpluggedMaster = -1;
int openUnpluggingPort() {
  unpluggedMaster = posix_openpt(O_RDWR | O_NOCTTY);
  if (unpluggedMaster < 0 || grantpt(unpluggedMaster) != 0 || unlockpt(unpluggedMaster) != 0) {
    return -1;
  }
  rfid::exchangeWait = [] {
    close(unpluggedMaster);
    unpluggedMaster = -1;
  };
  return open(ptsname(unpluggedMaster), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

struct RunResult {
  Outcome outcome;
  std::chrono::steady_clock::duration took;
  bool bufferUntouched;
};

RunResult runOperation(const Operation& operation, int fd) {
  unsigned char buffer[kBlockSize];
  std::memset(buffer, kCanary, sizeof buffer);
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = operation.call(fd, MODULE_VOR, Arguments{5, buffer});
  const auto took = std::chrono::steady_clock::now() - start;
  bool untouched = true;
  for (unsigned char b : buffer) untouched = untouched && b == kCanary;
  return {outcome, took, untouched};
}

class ReaderFaultTest : public ::testing::TestWithParam<std::tuple<Fault, std::size_t>> {
 protected:
  const Operation& operation() const { return allOperations()[std::get<1>(GetParam())]; }
  Fault fault() const { return std::get<0>(GetParam()); }
  LogCapture log_;
};

// Generous: a fault must never make an exchange hang; with the wait
// replaced, a sound exchange takes milliseconds.
constexpr auto kNoHang = std::chrono::seconds(5);

TEST_P(ReaderFaultTest, GivesTheDocumentedResultAndTheNextExchangeSucceeds) {
  const Operation& op = operation();
  RunResult run{};
  if (fault() == Fault::kUnplugged) {
    const int port = openUnpluggingPort();
    ASSERT_GE(port, 0);
    run = runOperation(op, port);
    EXPECT_TRUE(log_.messages().empty()) << "a failed read is silent";
    // The port stays gone: the next request cannot even be written.
    EXPECT_EQ(runOperation(op, port).outcome, op.onNoReply);
    EXPECT_NE(log_.console().find("[Error] system command "), std::string::npos);
    rfid::exchangeWait = rfid::sleepExchangeWait;
    close(port);
  } else {
    ScriptedReader reader;
    Bytes reply = op.successReply;
    switch (fault()) {
      case Fault::kNoReply:
        reader.stayQuiet();
        break;
      case Fault::kClosedDescriptor:
        break;
      case Fault::kNoiseBeforeTheRequest:
        reader.sendStale(kNoise);  // pending before the exchange: discarded by it
        reader.answer(reply);
        break;
      case Fault::kNoiseAheadOfTheReply:
        reader.answer(rfid::testing::concat(kNoise, reply));
        break;
      case Fault::kNoiseAfterTheReply:
        reader.answer(rfid::testing::concat(reply, kNoise));
        break;
      case Fault::kLateNoise:
        reader.answer(reply);
        break;
      case Fault::kOverlongReply:
        reply.resize(300, 0x5A);
        reader.answer(reply);
        break;
      case Fault::kUnplugged:
        break;
    }
    int fd = reader.fd();
    if (fault() == Fault::kClosedDescriptor) {
      fd = dup(reader.fd());
      close(fd);
    }
    run = runOperation(op, fd);
    const std::string console = log_.console();
    if (fault() == Fault::kClosedDescriptor) {
      // One line, the Error line. The frame bytes it shows are raw: the
      // block-read and login frames start with 0x0A, a newline.
      EXPECT_NE(console.find("[Error] system command "), std::string::npos) << console;
      EXPECT_EQ(console.find("] - [", console.find("] - [") + 1), std::string::npos) << console;
    } else if (fault() == Fault::kNoReply) {
      EXPECT_EQ(console, "");
    } else if (fault() == Fault::kNoiseAheadOfTheReply) {
      for (const char* success : {"ok.", "pass.", "successfully.", "Card type"}) {
        EXPECT_EQ(console.find(success), std::string::npos) << console;
      }
    } else {
      EXPECT_EQ(run.outcome, op.onSuccess);
    }
    if (fault() == Fault::kLateNoise || fault() == Fault::kOverlongReply) {
      // The tail of the reply (or noise after it) is still pending when the
      // next exchange starts, and must not reach that exchange's reply.
      reader.sendStale(kNoise);
      reader.answer(op.successReply);
      EXPECT_EQ(runOperation(op, reader.fd()).outcome, op.onSuccess);
    }
  }
  EXPECT_LT(run.took, kNoHang);
  if (fault() == Fault::kUnplugged || fault() == Fault::kNoReply ||
      fault() == Fault::kClosedDescriptor || fault() == Fault::kNoiseAheadOfTheReply) {
    EXPECT_EQ(run.outcome, op.onNoReply);
    EXPECT_TRUE(run.bufferUntouched || !op.takesBuffer) << "output written without a reply";
  }
  // The exchange after a fault, on a freshly attached working reader.
  ScriptedReader working;
  working.answer(op.successReply);
  EXPECT_EQ(runOperation(op, working.fd()).outcome, op.onSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    AllOperations, ReaderFaultTest,
    ::testing::Combine(::testing::Values(Fault::kUnplugged, Fault::kNoReply,
                                         Fault::kClosedDescriptor, Fault::kNoiseBeforeTheRequest,
                                         Fault::kNoiseAheadOfTheReply, Fault::kNoiseAfterTheReply,
                                         Fault::kLateNoise, Fault::kOverlongReply),
                       ::testing::Range<std::size_t>(0, allOperations().size())),
    [](const ::testing::TestParamInfo<ReaderFaultTest::ParamType>& param) {
      return kFaultNames[static_cast<int>(std::get<0>(param.param))] + std::string("_") +
             allOperations()[std::get<1>(param.param)].name;
    });

}  // namespace
}  // namespace rfid::hardening
