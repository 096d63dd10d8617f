// The worker's decisions on a hand-moved clock: a reader stand-in whose
// field each test sets, and the worker's loop with its waits replaced by
// moving the clock to the machine's next wake.
#include "poll_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace rfid_tokend {
namespace {

using Clock = SteadyClock;
using std::chrono::seconds;

// What one card request or sound takes on the line.
constexpr milliseconds kExchangeTime{30};
const Bytes kSerial{0x04, 0xA1, 0xB2, 0xC3};

struct Call {
  std::string what;  // identify, present, halt or sound
  Clock::time_point at;
};

// A reader whose field and silence the test sets. Each exchange moves the
// clock on by kExchangeTime. A halted card stays silent, as on the VOR
// reader, until it leaves the field.
class FieldReader : public rfid_host::Reader, public ExchangeReport {
 public:
  explicit FieldReader(Clock::time_point& now) : now_(now) {}

  // A reader of `model` with an empty field, answering, nothing asked yet.
  void reset(rfid_host::Model model) {
    model_ = model;
    place(std::nullopt);
    silent = false;
    calls.clear();
  }
  void place(std::optional<Bytes> card) {
    card_ = std::move(card);
    halted_ = false;
  }
  bool silent = false;
  mutable std::vector<Call> calls;

  int count(const std::string& what) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [&](const Call& call) { return call.what == what; }));
  }

  rfid_host::Model model() const override { return model_; }
  bool identify(Bytes& serial) const override { return request("identify", serial); }
  bool present(Bytes& serial) const override { return request("present", serial); }
  bool needsLogin() const override { return false; }
  bool login(int) const override { return false; }
  bool read(int, rfid_host::Block&) const override { return false; }
  bool write(int, const rfid_host::Block&) const override { return false; }
  bool halt() const override {
    record("halt");
    halted_ = model_ == rfid_host::Model::kVor;
    return halted_;
  }
  bool startSound(unsigned char) const override { return record("sound"); }
  unsigned soundRestUs() const override {
    return model_ == rfid_host::Model::kElatec ? rfid_host::kRestAfterBeepUs : 0;
  }
  int transceive(const std::uint8_t*, int, std::uint8_t*, int) const override { return -1; }
  bool selectedCardSak(std::uint8_t&) const override { return false; }

  int received() const override { return silent ? 0 : 5; }
  bool refused() const override { return false; }

 private:
  bool record(const char* what) const {
    calls.push_back({what, now_});
    now_ += kExchangeTime;
    return true;
  }
  bool request(const char* what, Bytes& serial) const {
    record(what);
    if (silent || !card_ || halted_) return false;
    serial = *card_;
    return true;
  }

  rfid_host::Model model_ = rfid_host::Model::kElatec;
  Clock::time_point& now_;
  std::optional<Bytes> card_;
  mutable bool halted_ = false;
};

// The process around the machine: the port is always alive, the events are
// kept.
class KeptEvents : public PollHost {
 public:
  bool mayCall() override { return true; }
  bool mayPoll() override { return true; }
  void checkServesNextPoll() override {}
  void send(const ReaderEvent& event) override { events.push_back(event); }

  std::vector<ReaderEvent::Kind> kinds() const {
    std::vector<ReaderEvent::Kind> kinds;
    for (const auto& event : events) kinds.push_back(event.kind);
    return kinds;
  }
  std::vector<ReaderEvent> events;
};

class PollMachineTest : public ::testing::Test {
 protected:
  void start(rfid_host::Model model) {
    reader_.reset(model);
    PollSettings settings;
    settings.reader.model = model;
    settings.minPoll = milliseconds(50);
    settings.debounce.absentTime = milliseconds(1000);
    machine_.emplace(
        settings, [this] { return now_; }, host_, reader_);
    machine_->attach(reader_);
    machine_->readerUp();
    host_.events.clear();
  }

  // The worker's loop for `span`: a sound part when one is due, then the
  // wait (the clock moved to the next poll), then the poll.
  void runFor(milliseconds span) {
    const Clock::time_point end = now_ + span;
    for (;;) {
      if (machine_->soundPartDue()) machine_->playSoundPart();
      const Clock::time_point next = machine_->nextPollAt();
      if (next > end) break;
      now_ = std::max(now_, next);
      if (!machine_->soundPartDue() && now_ >= machine_->readerBusyUntil()) machine_->poll();
    }
    now_ = end;
  }

  Clock::time_point now_{seconds(100)};
  FieldReader reader_{now_};
  KeptEvents host_;
  std::optional<PollMachine> machine_;
};

TEST_F(PollMachineTest, ATapGivesOneTokenOnEitherModel) {
  for (const auto model : {rfid_host::Model::kVor, rfid_host::Model::kElatec}) {
    SCOPED_TRACE(rfid_host::modelName(model));
    start(model);
    reader_.place(kSerial);
    runFor(milliseconds(800));
    ASSERT_EQ(host_.kinds(), std::vector<ReaderEvent::Kind>{ReaderEvent::Kind::kToken});
    EXPECT_EQ(host_.events[0].value, "04A1B2C3");
    // The card whose token is out is halted (a no-op on the Elatec reader).
    EXPECT_EQ(reader_.count("halt"), 1);
  }
}

TEST_F(PollMachineTest, ACardCountsAgainOnlyAfterTheDebounceTimeAway) {
  const struct {
    milliseconds away;
    int tokens;
  } cases[] = {{milliseconds(300), 1}, {milliseconds(1500), 2}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.away.count());
    start(rfid_host::Model::kElatec);
    reader_.place(kSerial);
    runFor(milliseconds(500));
    reader_.place(std::nullopt);
    runFor(test.away);
    reader_.place(kSerial);
    runFor(milliseconds(500));
    const auto kinds = host_.kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), ReaderEvent::Kind::kToken), test.tokens);
  }
}

TEST_F(PollMachineTest, ARestingCardIsLookedForWithoutTheModulesLines) {
  start(rfid_host::Model::kElatec);
  reader_.place(kSerial);
  runFor(seconds(2));
  // The tap and the poll that finds it resting; every later poll is quiet.
  EXPECT_EQ(reader_.count("identify"), 2);
  EXPECT_GT(reader_.count("present"), 20);
}

TEST_F(PollMachineTest, AnEmptyFieldIsPolledSlowerAfterTwoSeconds) {
  start(rfid_host::Model::kElatec);
  runFor(seconds(4));
  const auto& calls = reader_.calls;
  for (std::size_t i = 1; i < calls.size(); ++i) {
    const bool idle = calls[i - 1].at - calls[0].at >= kIdleAfter;
    EXPECT_EQ(calls[i].at - calls[i - 1].at, idle ? kIdlePoll : milliseconds(50)) << i;
  }
}

TEST_F(PollMachineTest, ASoundGoesOutOnePartAtATimeWithAPollBetween) {
  const struct {
    rfid_host::Model model;
    std::vector<Sound> verdicts;
    int parts;
  } cases[] = {
      {rfid_host::Model::kElatec, {Sound::kAccepted}, 1},
      {rfid_host::Model::kElatec, {Sound::kRejected}, 2},
      {rfid_host::Model::kVor, {Sound::kRejected}, 2},
      // A verdict replaces what is left of the one before.
      {rfid_host::Model::kElatec, {Sound::kRejected, Sound::kRejected}, 2},
  };
  for (const auto& test : cases) {
    start(test.model);
    runFor(milliseconds(100));
    for (const Sound verdict : test.verdicts) machine_->startSound(verdict);
    reader_.calls.clear();
    runFor(seconds(3));
    EXPECT_EQ(reader_.count("sound"), test.parts);
    for (std::size_t i = 1; i < reader_.calls.size(); ++i) {
      if (reader_.calls[i - 1].what != "sound") continue;
      EXPECT_NE(reader_.calls[i].what, "sound") << i;
      // The Elatec reader takes no request while it beeps and pauses.
      const auto rest = std::chrono::microseconds(reader_.soundRestUs());
      EXPECT_GE(reader_.calls[i].at - reader_.calls[i - 1].at, rest) << i;
    }
  }
}

TEST_F(PollMachineTest, AReaderIsDownAfterThreeFailedRequestsAndUpAtItsAnswer) {
  start(rfid_host::Model::kElatec);
  reader_.place(kSerial);
  runFor(milliseconds(200));
  reader_.silent = true;
  using Kind = ReaderEvent::Kind;
  for (int failed = 1; failed <= kFailedExchangesForDown; ++failed) {
    now_ = std::max(now_, machine_->nextPollAt());
    machine_->poll();
    const std::vector<Kind> expected =
        failed < kFailedExchangesForDown
            ? std::vector<Kind>{Kind::kToken}
            : std::vector<Kind>{Kind::kToken, Kind::kRemoved, Kind::kDown};
    EXPECT_EQ(host_.kinds(), expected) << failed;
  }
  EXPECT_EQ(host_.events.back().reason, "no reply");
  runFor(seconds(5));  // polled seldom while down
  EXPECT_EQ(reader_.calls.back().at - reader_.calls[reader_.calls.size() - 2].at, kDownPoll);
  reader_.silent = false;
  runFor(seconds(3));
  EXPECT_EQ(host_.kinds().at(3), Kind::kUp);
  EXPECT_EQ(host_.kinds().at(4), Kind::kToken);  // the card counts again
}

TEST_F(PollMachineTest, APortOpenedAgainCountsItsFailedRequestsAfresh) {
  start(rfid_host::Model::kElatec);
  reader_.silent = true;
  for (int port = 0; port < 2; ++port) {
    for (int failed = 1; failed < kFailedExchangesForDown; ++failed) {
      now_ = std::max(now_, machine_->nextPollAt());
      machine_->poll();
    }
    machine_->attach(reader_);
  }
  EXPECT_TRUE(host_.kinds().empty());
}

}  // namespace
}  // namespace rfid_tokend
