// Whole host sessions: the module's own functions, through a pseudo-terminal,
// against both simulated readers.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "fast_exchange.h"
#include "rfid_internal.h"
#include "rfid_serial/serial_port.h"
#include "rfid_sim/simulator.h"

namespace rfid_sim {
namespace {

const unsigned char kWrongKey[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
const unsigned char kTransportKey[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// What a host waits after SetBeep returns before its next request: the rest
// of the beep's second, with room to spare.
constexpr useconds_t kRestAfterBeepUs = 600000;

// A host's view of one simulated reader: the port opened as a host opens
// it, exchanges without the half-second wait, and the module's log file in
// a directory of the test's own.
class Session : public ::testing::Test {
 protected:
  // `fast` false keeps the module's real half-second wait.
  void start(Model model, std::optional<Card> card = Card::demo(), bool fast = true) {
    fast_.reset();
    port_.reset();
    simulator_ = std::make_unique<Simulator>(model, card);
    if (fast) fast_ = std::make_unique<FastExchange>(*simulator_);
    port_.reset(::open(simulator_->portPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(port_.valid());
    ASSERT_TRUE(rfid_serial::configureRawPort(port_.get(), rfid_serial::kDefaultBaud));
  }

  void SetUp() override {
    std::memcpy(savedKeys_, sectorKeyA, sizeof savedKeys_);
    ASSERT_NE(::mkdtemp(logDir_), nullptr);
  }

  void TearDown() override {
    fast_.reset();
    port_.reset();
    simulator_.reset();
    std::memcpy(sectorKeyA, savedKeys_, sizeof savedKeys_);
    for (const std::string& file : logFiles()) ::unlink(file.c_str());
    ::rmdir(logDir_);
  }

  std::vector<std::string> logFiles() const {
    std::vector<std::string> files;
    if (DIR* dir = ::opendir(logDir_)) {
      while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') files.push_back(std::string(logDir_) + "/" + entry->d_name);
      }
      ::closedir(dir);
    }
    return files;
  }

  // Everything the module logged so far.
  std::string log() const {
    std::string all;
    for (const std::string& file : logFiles()) {
      std::ostringstream text;
      text << std::ifstream(file).rdbuf();
      all += text.str();
    }
    return all;
  }

  void setKey(int sector, const unsigned char (&key)[6]) {
    std::memcpy(sectorKeyA[sector], key, 6);
  }

  int fd() const { return port_.get(); }
  Simulator& simulator() { return *simulator_; }

  std::unique_ptr<Simulator> simulator_;
  std::unique_ptr<FastExchange> fast_;
  rfid_serial::UniqueFd port_;
  unsigned char savedKeys_[16][6] = {};
  char logDir_[64] = "/tmp/rfid-session-log-XXXXXX";
  rfid::ScopedLogDirectory logDirectory_{logDir_};
};

Block pattern(std::uint8_t first) {
  Block block{};
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(first + i);
  return block;
}

TEST_F(Session, VorReaderFullSession) {
  start(Model::kVor);
  unsigned char serial[8] = {};
  ASSERT_TRUE(getRequestCardSN(fd(), MODULE_VOR, serial));
  EXPECT_EQ(Bytes(serial, serial + 5), (Bytes{4, 0xA1, 0xB2, 0xC3, 0xD4}));

  // A wrong key is refused, and the card then stays idle until identified
  // again: the right key alone is not enough.
  unsigned char data[16] = {};
  setKey(1, kWrongKey);
  EXPECT_FALSE(getBlockRead(fd(), MODULE_VOR, 4, 0, data));
  EXPECT_NE(log().find("Read block failed."), std::string::npos);
  setKey(1, kTransportKey);
  EXPECT_FALSE(getBlockRead(fd(), MODULE_VOR, 4, 0, data));
  ASSERT_TRUE(getRequestCardSN(fd(), MODULE_VOR, serial));
  ASSERT_TRUE(getBlockRead(fd(), MODULE_VOR, 4, 0, data));
  EXPECT_EQ(Bytes(data, data + 16), Bytes(16, 0));

  Block written = pattern(0x30);
  ASSERT_TRUE(setBlockWrite(fd(), MODULE_VOR, 4, 0, written.data()));
  ASSERT_TRUE(getBlockRead(fd(), MODULE_VOR, 4, 0, data));
  EXPECT_EQ(Bytes(data, data + 16), Bytes(written.begin(), written.end()));
  EXPECT_EQ(simulator().card()->memory()[4 * kBlockSize], 0x30);

  setBuzzer(fd(), MODULE_VOR, 3);
  EXPECT_NE(log().find("Set Buzzer 3 ms."), std::string::npos);

  // Halted, the card stays quiet until it leaves and re-enters the field.
  sethaltCard(fd(), MODULE_VOR);
  EXPECT_NE(log().find("Halt card pass."), std::string::npos);
  EXPECT_FALSE(getRequestCardSN(fd(), MODULE_VOR, serial));
  simulator().removeCard();
  simulator().insertCard();
  EXPECT_TRUE(getRequestCardSN(fd(), MODULE_VOR, serial));

  simulator().removeCard();
  EXPECT_FALSE(getRequestCardSN(fd(), MODULE_VOR, serial));
  EXPECT_FALSE(getBlockRead(fd(), MODULE_VOR, 4, 0, data));
}

TEST_F(Session, ElatecReaderFullSession) {
  start(Model::kElatec);
  unsigned char serial[8] = {};
  ASSERT_TRUE(searchTag(fd(), MODULE_ELATEC, serial, SEARCH));
  EXPECT_EQ(Bytes(serial, serial + 5), (Bytes{4, 0xA1, 0xB2, 0xC3, 0xD4}));

  setKey(2, kWrongKey);
  EXPECT_FALSE(MifareClassic_Login(fd(), MODULE_ELATEC, 8, 0));
  EXPECT_NE(log().find("MIFARE classic login fail."), std::string::npos);
  setKey(2, kTransportKey);
  EXPECT_FALSE(MifareClassic_Login(fd(), MODULE_ELATEC, 8, 0)) << "idle after the failed login";
  ASSERT_TRUE(searchTag(fd(), MODULE_ELATEC, serial, SEARCH));
  ASSERT_TRUE(MifareClassic_Login(fd(), MODULE_ELATEC, 8, 0));

  Block written = pattern(0x60);
  unsigned char data[16];
  std::memcpy(data, written.data(), sizeof data);
  ASSERT_TRUE(MifareClassic_WriteBlock(fd(), MODULE_ELATEC, 9, data));
  EXPECT_EQ(Bytes(data, data + 16), Bytes(written.begin(), written.end())) << "no echo, no change";
  std::memset(data, 0, sizeof data);
  ASSERT_TRUE(MifareClassic_ReadBlock(fd(), MODULE_ELATEC, 9, data));
  EXPECT_EQ(Bytes(data, data + 16), Bytes(written.begin(), written.end()));

  // The login holds for its sector only.
  EXPECT_FALSE(MifareClassic_ReadBlock(fd(), MODULE_ELATEC, 4, data));
  EXPECT_NE(log().find("Unsuccessful to read block."), std::string::npos);

  simulator().removeCard();
  EXPECT_FALSE(searchTag(fd(), MODULE_ELATEC, serial, SEARCH));
  EXPECT_FALSE(MifareClassic_ReadBlock(fd(), MODULE_ELATEC, 9, data));
}

TEST_F(Session, SevenByteCardIsRecognisedButHasNoBlocks) {
  const std::array<std::uint8_t, 7> id = {0x04, 0x5E, 0x11, 0x22, 0x33, 0x44, 0x80};
  for (const Model model : {Model::kVor, Model::kElatec}) {
    start(model, Card::sevenByte(id));
    unsigned char serial[8] = {};
    unsigned char data[16] = {};
    if (model == Model::kVor) {
      ASSERT_TRUE(getRequestCardSN(fd(), MODULE_VOR, serial));
      EXPECT_FALSE(getBlockRead(fd(), MODULE_VOR, 4, 0, data));
    } else {
      ASSERT_TRUE(searchTag(fd(), MODULE_ELATEC, serial, SEARCH));
      EXPECT_FALSE(MifareClassic_Login(fd(), MODULE_ELATEC, 4, 0));
    }
    EXPECT_EQ(Bytes(serial, serial + 8), (Bytes{7, 0x04, 0x5E, 0x11, 0x22, 0x33, 0x44, 0x80}));
  }
  EXPECT_NE(log().find("Card type : Plus, UltraLight or DESFire."), std::string::npos);
  EXPECT_NE(log().find("Card type: Plus, UltraLight or DESFire."), std::string::npos);
}

TEST_F(Session, WritesReachTheCardFile) {
  char directory[] = "/tmp/rfid-session-card-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/card.mfd";
  start(Model::kVor);
  simulator().saveCardTo({path, rfid_image::Format::kBinary});
  unsigned char serial[8];
  ASSERT_TRUE(getRequestCardSN(fd(), MODULE_VOR, serial));
  Block written = pattern(0x10);
  ASSERT_TRUE(setBlockWrite(fd(), MODULE_VOR, 62, 0, written.data()));

  std::string error;
  const auto image = rfid_image::readImageFile(path, rfid_image::Format::kBinary, error);
  ASSERT_TRUE(image.has_value()) << error;
  const auto dump = rfid_image::memoryOfImage(*image);
  EXPECT_TRUE(std::equal(written.begin(), written.end(),
                         dump.begin() + 62 * static_cast<std::ptrdiff_t>(kBlockSize)));
  EXPECT_EQ(dump[kBlockSize], 'D') << "the rest of the card is saved with it";
  ::unlink(path.c_str());
  ::rmdir(directory);
}

// Typical timing on the line: the request's bytes, the reader's delay, the
// reply byte by byte at 9600 baud. The quiet wait reads it whole, after at
// least all of that and its 20 ms of quiet, and well before 500 ms.
TEST_F(Session, QuietWaitReadsThePacedReplyWhole) {
  const std::pair<Model, Clock::duration> cases[] = {
      {Model::kVor, std::chrono::microseconds((4 + 10) * 1042 + 15000 + 20000)},
      {Model::kElatec, std::chrono::microseconds((5 + 11) * 1042 + 40000 + 20000)}};
  for (const auto& [model, least] : cases) {
    start(model, Card::demo(), false);
    simulator().setTiming(Timing::typical(model));
    ASSERT_EQ(rfidSetReplyWait(RFID_REPLY_WAIT_QUIET, rfid::kDefaultQuietMs), 0);
    unsigned char serial[8] = {};
    const auto begin = Clock::now();
    EXPECT_TRUE(model == Model::kVor ? getRequestCardSN(fd(), MODULE_VOR, serial)
                                     : searchTag(fd(), MODULE_ELATEC, serial, SEARCH));
    const auto elapsed = Clock::now() - begin;
    rfidSetReplyWait(RFID_REPLY_WAIT_FIXED, rfid::kDefaultQuietMs);
    EXPECT_EQ(serial[0], 4);
    EXPECT_GE(elapsed, least);
    EXPECT_LT(elapsed, std::chrono::milliseconds(450));
  }
}

// The one test on the module's real timing, because the finding is about
// timing: the reader's beep (500 ms on, 500 ms off) outlasts the half second
// that SetBeep waits, and the reader takes no request until it is over.
TEST_F(Session, RequestRightAfterABeepFailsUnlessTheHostWaitsTheBeepOut) {
  start(Model::kElatec, Card::demo(), false);
  unsigned char serial[8] = {};
  ASSERT_TRUE(SetBeep(fd(), MODULE_ELATEC, 100));
  // The search waits in the reader and its exchange reads the beep's late
  // reply, or nothing: a card in the field is reported as absent.
  EXPECT_FALSE(searchTag(fd(), MODULE_ELATEC, serial, SEARCH));
  ::usleep(kRestAfterBeepUs);
  EXPECT_TRUE(searchTag(fd(), MODULE_ELATEC, serial, SEARCH));

  ASSERT_TRUE(SetBeep(fd(), MODULE_ELATEC, 100));
  ::usleep(kRestAfterBeepUs);
  EXPECT_TRUE(searchTag(fd(), MODULE_ELATEC, serial, SEARCH));
}

}  // namespace
}  // namespace rfid_sim
