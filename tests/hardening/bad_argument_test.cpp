// Bad arguments for every function of the interface, each with its
// documented outcome: no reader (Fd 0, -1, INT_MIN) sends nothing and logs
// nothing; only MODULE_ELATEC is refused by the checksummed operations,
// every other module type is served; blocks outside 0 to 63 and null
// buffers are refused before anything is sent; the log refuses a null
// format and cuts an over-long message.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "module_fixture.h"
#include "operations.h"

namespace rfid::hardening {
namespace {

using rfid::testing::LogCapture;
using rfid::testing::ScriptedReader;
using rfid::testing::WaitCounter;

constexpr int kNoReader[] = {0, -1, INT_MIN};
constexpr int kModuleTypes[] = {-1, 0, 1, 2, 99};
constexpr int kBadBlocks[] = {-1, 64, 261, INT_MIN};  // 261: low byte 5

TEST(BadArgumentTest, NoReaderSendsAndLogsNothing) {
  for (const Operation& op : allOperations()) {
    for (int fd : kNoReader) {
      LogCapture log;
      WaitCounter waits;  // the module waits only after writing a frame
      unsigned char buffer[kBlockSize] = {};
      EXPECT_EQ(op.call(fd, MODULE_VOR, Arguments{5, buffer}), op.onRefusal())
          << op.name << " Fd " << fd;
      EXPECT_TRUE(log.messages().empty()) << op.name << " Fd " << fd;
      EXPECT_EQ(waits.count(), 0) << op.name << " Fd " << fd;
    }
  }
  // The buzzer value is checked before the descriptor.
  LogCapture log;
  WaitCounter waits;
  setBuzzer(0, MODULE_VOR, 200);
  EXPECT_EQ(waits.count(), 0);
  EXPECT_EQ(log.messages(), std::vector<std::string>{rfid::testing::logLine(
                                "rfid_vor.cpp", "setBuzzer", "Warn Value is out of range.")});
}

TEST(BadArgumentTest, OnlyElatecIsRefusedAndOnlyByTheVorOperations) {
  for (const Operation& op : allOperations()) {
    Bytes firstRequest;
    for (int type : kModuleTypes) {
      LogCapture log;
      ScriptedReader reader;
      reader.answer(op.successReply);
      unsigned char buffer[kBlockSize] = {};
      const bool refused = op.vor && type == MODULE_ELATEC;
      EXPECT_EQ(op.call(reader.fd(), type, Arguments{5, buffer}),
                refused ? op.onRefusal() : op.onSuccess)
          << op.name << " type " << type;
      EXPECT_EQ(reader.requests().size(), refused ? 0U : 1U) << op.name << " type " << type;
      if (refused) {
        // The refusal comes before the block and buzzer value checks.
        op.call(reader.fd(), type, Arguments{64, buffer});
        setBuzzer(reader.fd(), type, 200);
        EXPECT_TRUE(reader.requests().empty()) << op.name;
        EXPECT_TRUE(log.messages().empty()) << op.name;
      } else if (firstRequest.empty()) {
        firstRequest = reader.lastRequest();
      } else {
        EXPECT_EQ(reader.lastRequest(), firstRequest) << op.name << " type " << type;
      }
    }
  }
}

TEST(BadArgumentTest, BlocksOutsideTheCardAreRefusedWithAWarning) {
  for (const Operation& op : allOperations()) {
    if (!op.takesBlock) continue;
    for (int block : kBadBlocks) {
      LogCapture log;
      ScriptedReader reader;
      unsigned char buffer[kBlockSize];
      std::memset(buffer, 0x5A, sizeof buffer);
      EXPECT_EQ(op.call(reader.fd(), MODULE_VOR, Arguments{block, buffer}), Outcome::kFalse)
          << op.name << " block " << block;
      EXPECT_TRUE(reader.requests().empty()) << op.name;
      EXPECT_EQ(Bytes(buffer, buffer + kBlockSize), Bytes(kBlockSize, 0x5A)) << op.name;
      // Logged in the operation's own name.
      const std::string warning = "][" + std::string(op.name) + "][Warn] Block " +
                                  std::to_string(block) + " is out of range.\n";
      ASSERT_EQ(log.messages().size(), 1U) << op.name;
      EXPECT_NE(log.messages()[0].find(warning), std::string::npos) << log.messages()[0];
    }
  }
}

TEST(BadArgumentTest, NullBuffersAreRefusedSilently) {
  for (const Operation& op : allOperations()) {
    if (!op.takesBuffer) continue;
    LogCapture log;
    ScriptedReader reader;
    reader.answer(op.successReply);
    EXPECT_EQ(op.call(reader.fd(), MODULE_VOR, Arguments{5, nullptr}), Outcome::kFalse) << op.name;
    EXPECT_TRUE(reader.requests().empty()) << op.name;
    EXPECT_TRUE(log.messages().empty()) << op.name;
  }
}

TEST(BadArgumentTest, ExchangeRefusesMissingFramesAndReportsUnwritablePorts) {
  LogCapture log;
  ScriptedReader reader;
  unsigned char frame[] = {0x03, 0x20, 0x01, 0x22};
  unsigned char rx[kReceiveSize] = {};
  EXPECT_EQ(system_command(reader.fd(), nullptr, 4, rx), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, 4, nullptr), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, -1, rx), 0);
  EXPECT_EQ(system_command(reader.fd(), frame, INT_MIN, rx), 0);
  EXPECT_TRUE(reader.requests().empty());
  EXPECT_TRUE(log.messages().empty());
  // A negative descriptor is passed to the system like any other; the
  // failed write is what the caller hears of it.
  for (int fd : {-1, INT_MIN}) {
    EXPECT_EQ(system_command(fd, frame, 4, rx), 0);
  }
  ASSERT_EQ(log.messages().size(), 2U);
  EXPECT_NE(log.messages()[1].find("[Error] system command "), std::string::npos);
}

// INT_MIN must be refused before `len - 1` is formed, which overflows.
TEST(BadArgumentTest, ChecksumOfNothingOrOfAShortOrNegativeLengthIsZero) {
  unsigned char frame[] = {0x03, 0x20, 0x01, 0x22};
  EXPECT_EQ(ClaCheckSum(nullptr, 4), 0);
  for (int length : {1, 0, -1, INT_MIN}) EXPECT_EQ(ClaCheckSum(frame, length), 0) << length;
}

TEST(BadArgumentTest, LogRefusesANullFormatAndCutsATenKibArgument) {
  LogCapture log;
  EXPECT_EQ(StoreLogMessage(nullptr), -1);
  EXPECT_EQ(log.console(), "");
  EXPECT_EQ(log.file(), "");

  const std::string tenKib(10 * 1024, 'k');
  EXPECT_EQ(StoreLogMessage("%s", tenKib.c_str()), static_cast<int>(tenKib.size()));
  const std::string console = log.console();
  constexpr std::size_t kStamp = 24;  // "[YYYY.MM.DD hh:mm:ss] - "
  ASSERT_EQ(console.size(), kStamp + kMessageSize - 1);
  EXPECT_EQ(console.substr(kStamp), tenKib.substr(0, kMessageSize - 1));
  EXPECT_EQ(log.file(), console + "\n");
}

}  // namespace
}  // namespace rfid::hardening
