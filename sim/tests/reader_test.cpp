// Both reader models byte by byte, on a clock the test moves by hand.
#include "rfid_sim/reader.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

namespace rfid_sim {
namespace {

using std::chrono::milliseconds;

class ReaderDriver {
 public:
  explicit ReaderDriver(Model model, std::optional<Card> card = Card::demo())
      : reader_(Reader::create(model)) {
    if (card) reader_->field().insert(*card);
  }
  Reader& reader() { return *reader_; }
  void advance(milliseconds by) { now_ += by; }
  // Sends `request` at the current time and returns what the reader
  // answers by then, all replies joined.
  Bytes send(const Bytes& request) {
    reader_->receive(request.data(), request.size(), now_);
    return collect();
  }
  Bytes collect() {
    Bytes joined;
    for (const Bytes& reply : reader_->service(now_)) {
      joined.insert(joined.end(), reply.begin(), reply.end());
    }
    return joined;
  }

 private:
  std::unique_ptr<Reader> reader_;
  Clock::time_point now_{};
};

// A checksummed frame: length byte, the given bytes, XOR checksum.
Bytes vorFrame(Bytes body) {
  Bytes frame = {static_cast<std::uint8_t>(body.size() + 1)};
  frame.insert(frame.end(), body.begin(), body.end());
  std::uint8_t sum = 0;
  for (const std::uint8_t byte : frame) sum ^= byte;
  frame.push_back(sum);
  return frame;
}

Bytes vorReply(std::uint8_t code) {
  return vorFrame({code});
}

Bytes elatecFrame(Bytes body) {
  Bytes frame = {static_cast<std::uint8_t>(body.size()), 0};
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

const Bytes kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kCardRequest = vorFrame({0x20, 0x01});
const Bytes kSearchTag = elatecFrame({0x05, 0x00, 0x10});
const Bytes kBeep = elatecFrame({0x04, 0x07, 0x64, 0x60, 0x09, 0xF4, 0x01, 0xF4, 0x01});

TEST(VorReader, AnswersACardRequestWithSerialAtqaSakAndAChecksum) {
  ReaderDriver driver(Model::kVor);
  EXPECT_EQ(driver.send(kCardRequest), vorFrame({0x20, 0xA1, 0xB2, 0xC3, 0xD4, 0x04, 0x00, 0x08}));
  ReaderDriver seven(Model::kVor, Card::sevenByte({0x04, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(seven.send(kCardRequest), vorFrame({0x20, 0x04, 1, 2, 3, 4, 5, 6, 0x44, 0x00, 0x00}));
}

TEST(VorReader, BadFramesGetTheCommandsFailureCode) {
  struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
  };
  Bytes badChecksum = kCardRequest;
  badChecksum.back() ^= 0x01;
  Bytes read = {0x21, 0x00, 0x04};
  read.insert(read.end(), kTransportKey.begin(), kTransportKey.end());
  Bytes shortRead = vorFrame({0x21, 0x00, 0x04});  // length byte 4, not 10
  Bytes badRead = vorFrame(read);
  badRead[5] ^= 0x10;  // a key byte changed after the checksum was taken
  const Case cases[] = {
      {"card request checksum", badChecksum, vorReply(0xDF)},
      {"block read length byte", shortRead, vorReply(0xDE)},
      {"block read checksum", badRead, vorReply(0xDE)},
      {"write length byte", vorFrame({0x22, 0x00}), vorReply(0xDD)},
      {"halt length byte", vorFrame({0x28, 0x00}), vorReply(0xD7)},
      {"buzzer checksum", Bytes{0x03, 0x14, 0x01, 0x00}, vorReply(0xEC)},
      {"buzzer out of range", vorFrame({0x14, 11}), vorReply(0xEC)},
      {"unknown command", vorFrame({0x55}), vorReply(0xAA)},
      {"unknown request mode", vorFrame({0x20, 0x07}), vorReply(0xDF)},
  };
  for (const Case& c : cases) {
    ReaderDriver driver(Model::kVor);
    EXPECT_EQ(driver.send(c.request), c.reply) << c.what;
  }
}

TEST(VorReader, WakeUpModeAnswersAHaltedCardAndTheRequestModeDoesNot) {
  ReaderDriver driver(Model::kVor);
  ASSERT_EQ(driver.send(kCardRequest)[1], 0x20);
  EXPECT_EQ(driver.send(vorFrame({0x28})), vorReply(0x28));
  EXPECT_EQ(driver.send(kCardRequest), vorReply(0xDF));
  EXPECT_EQ(driver.send(vorFrame({0x28})), vorReply(0xD7)) << "nothing selected to halt";
  EXPECT_EQ(driver.send(vorFrame({0x20, 0x00}))[1], 0x20);
  EXPECT_EQ(driver.send(vorFrame({0x28})), vorReply(0x28));
  for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(driver.send(kCardRequest), vorReply(0xDF));
  Field& field = driver.reader().field();
  field.insert(*field.remove());
  EXPECT_EQ(driver.send(kCardRequest)[1], 0x20) << "awake again after re-entering the field";
}

TEST(VorReader, DropsAPartialFrameAfterTheInterByteTimeoutAndAnswersTheNextOne) {
  ReaderDriver driver(Model::kVor);
  EXPECT_TRUE(driver.send({0x03, 0x20}).empty());
  driver.advance(milliseconds(50));
  EXPECT_EQ(driver.send({0x01, 0x22})[1], 0x20) << "a frame may arrive in pieces";

  EXPECT_TRUE(driver.send({0x0A, 0x21, 0x00}).empty());
  driver.advance(Reader::kInterByteTimeout);
  EXPECT_TRUE(driver.collect().empty());
  EXPECT_EQ(driver.send(kCardRequest)[1], 0x20);
}

TEST(ElatecReader, StatusBytesForRequestsItCannotRun) {
  struct Case {
    const char* what;
    Bytes request;
    std::uint8_t status;
  };
  const Case cases[] = {
      {"unknown function", elatecFrame({0x05, 0x09, 0x10}), 1},
      {"missing parameter", elatecFrame({0x0B, 0x01}), 2},
      {"unused parameters", elatecFrame({0x05, 0x00, 0x10, 0x00}), 3},
      {"no function byte", elatecFrame({0x05}), 5},
      {"empty request", elatecFrame({}), 5},
      {"count beyond any request", Bytes{0xFF, 0xFF, 0x05, 0x00}, 5},
  };
  for (const Case& c : cases) {
    ReaderDriver driver(Model::kElatec);
    EXPECT_EQ(driver.send(c.request), (Bytes{0x01, 0x00, c.status})) << c.what;
  }
}

TEST(ElatecReader, KeepsItsLoginPerSectorAndWritesWithoutEcho) {
  ReaderDriver driver(Model::kElatec);
  EXPECT_EQ(driver.send(kSearchTag),
            (Bytes{0x09, 0x00, 0x00, 0x01, 0x80, 32, 4, 0xA1, 0xB2, 0xC3, 0xD4}));
  Bytes login = {0x0B, 0x00};
  login.insert(login.end(), kTransportKey.begin(), kTransportKey.end());
  login.push_back(0x00);  // key A
  login.push_back(0x01);  // sector 1
  EXPECT_EQ(driver.send(elatecFrame(login)), (Bytes{0x02, 0x00, 0x00, 0x01}));

  Bytes write = {0x0B, 0x02, 0x05};
  write.insert(write.end(), 16, 0x42);
  EXPECT_EQ(driver.send(elatecFrame(write)), (Bytes{0x02, 0x00, 0x00, 0x01}));
  Bytes read = driver.send(elatecFrame({0x0B, 0x01, 0x05}));
  ASSERT_EQ(read.size(), 20u);
  EXPECT_EQ(read[3], 0x01);
  EXPECT_EQ(read[19], 0x42);
  EXPECT_EQ(driver.send(elatecFrame({0x0B, 0x01, 0x08})), (Bytes{0x02, 0x00, 0x00, 0x00}))
      << "sector 2 is not logged in";
}

TEST(ElatecReader, BeepAnswersAfterItsOnAndOffTimesAndHoldsBackTheNextRequest) {
  ReaderDriver driver(Model::kElatec);
  EXPECT_TRUE(driver.send(kBeep).empty());
  driver.advance(milliseconds(500));
  EXPECT_TRUE(driver.send(kSearchTag).empty()) << "busy beeping";
  ASSERT_TRUE(driver.reader().nextDeadline().has_value());
  driver.advance(milliseconds(499));
  EXPECT_TRUE(driver.collect().empty());
  driver.advance(milliseconds(1));
  const Bytes both = driver.collect();
  ASSERT_EQ(both.size(), 3u + 11u);
  EXPECT_EQ(Bytes(both.begin(), both.begin() + 3), (Bytes{0x01, 0x00, 0x00}));
  EXPECT_EQ(both[3 + 3], 0x01) << "the search answered after the beep";
}

// With typical timing a reply is due once the request's bytes are on the
// line (1042 us each at 9600 baud) and the delay of its kind has passed;
// the beep keeps its own busy time. Other delays are set per kind.
TEST(Readers, TypicalTimingAnswersAfterTheRequestOnTheLineAndTheDelayOfItsKind) {
  const std::tuple<Model, Bytes, long> cases[] = {
      {Model::kVor, kCardRequest, 4 * 1042 + 15000},
      {Model::kElatec, kSearchTag, 5 * 1042 + 40000},
      {Model::kElatec, elatecFrame({0x0B, 0x01, 0x04}), 5 * 1042 + 20000},
      {Model::kElatec, kBeep, 999999},  // due at 1000 ms sharp
  };
  for (const auto& [model, request, dueUs] : cases) {
    ReaderDriver driver(model);
    driver.reader().setTiming(Timing::typical(model));
    EXPECT_TRUE(driver.send(request).empty());
    driver.advance(milliseconds(dueUs / 1000));
    EXPECT_TRUE(driver.collect().empty()) << dueUs;
    driver.advance(milliseconds(1));
    EXPECT_FALSE(driver.collect().empty()) << dueUs;
  }
  Timing quick = Timing::typical(Model::kVor);
  quick.replyDelay["request"] = milliseconds(0);
  quick.baud = 0;
  ReaderDriver driver(Model::kVor);
  driver.reader().setTiming(quick);
  EXPECT_FALSE(driver.send(kCardRequest).empty());
}

TEST(Readers, SurviveRandomInput) {
  std::mt19937 random(20260);
  for (const Model model : {Model::kVor, Model::kElatec}) {
    ReaderDriver driver(model);
    for (int round = 0; round < 5000; ++round) {
      Bytes chunk(random() % 40);
      for (auto& byte : chunk) byte = static_cast<std::uint8_t>(random());
      (void)driver.send(chunk);
      driver.advance(milliseconds(random() % 300));
      (void)driver.collect();
    }
    // Whatever came before, a clean request after a pause is answered.
    driver.advance(milliseconds(200000));  // past the longest beep
    (void)driver.collect();
    if (model == Model::kVor) {
      driver.advance(Reader::kInterByteTimeout);
      const Bytes reply = driver.send(vorFrame({0x20, 0x00}));
      ASSERT_GE(reply.size(), 2u);
      EXPECT_EQ(reply[1], 0x20);
    } else {
      driver.advance(Reader::kInterByteTimeout);
      const Bytes reply = driver.send(kSearchTag);
      ASSERT_GE(reply.size(), 4u);
      EXPECT_EQ(reply[3], 0x01);
    }
  }
}

}  // namespace
}  // namespace rfid_sim
