// Re-taps end to end: a card taken away for longer than debounce_ms (1 s)
// plus a poll counts again on both models, whether it rested on the reader
// for a moment, for seconds, or through a verdict's sound.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "harness.h"
#include "rfid_sim/simulator.h"

namespace rfid_tokend_test {
namespace {

using rfid_sim::Card;
using rfid_sim::Model;
using rfid_sim::Simulator;

TEST(Retaps, EveryTapAfterASecondAndAHalfAwayCounts) {
  TempDir dir;
  const std::string logDir = dir.file("log");
  ::mkdir(logDir.c_str(), 0700);
  const int port = freePort();
  Broker broker(dir, "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n",
                {port});
  Subscriber subscriber(port);
  Simulator elatec(Model::kElatec, std::nullopt);
  Simulator vor(Model::kVor, std::nullopt);
  std::atomic<int> beeps{0};
  elatec.setTrace([&](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    if (fromHost && count >= 4 && bytes[2] == 0x04 && bytes[3] == 0x07) ++beeps;
  });
  Service service({"--jsonl", "--log-dir", logDir, "--reader", "elatec:" + elatec.portPath(),
                   "--reader", "vor:" + vor.portPath(), "--mqtt",
                   "127.0.0.1:" + std::to_string(port), "--module-id", "rfid_1", "--consumer-id",
                   "auth"});
  ASSERT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(5000), 2));

  const Card elatecCard = Card::classic({0xE1, 0xA7, 0xEC, 0x01});
  const Card vorCard = Card::classic({0x70, 0x80, 0x90, 0x01});
  const auto tokens = [&](const std::string& value) {
    return service.countLines(R"("value":")" + value + R"(","type")");
  };
  const auto rejected = [](const std::string& value) {
    return R"({"token":{"id_token":{"value":")" + value +
           R"(","type":"ISO14443"},"authorization_type":"RFID"},"status":"Rejected"})";
  };
  constexpr int kTaps = 12;
  for (int tap = 1; tap <= kTaps; ++tap) {
    SCOPED_TRACE("tap " + std::to_string(tap));
    elatec.insertCard(elatecCard);
    vor.insertCard(vorCard);
    ASSERT_TRUE(eventually([&] { return tokens("E1A7EC01") == tap && tokens("70809001") == tap; },
                           milliseconds(3000)));
    // Quick taps, long rests, and rests through a rejected verdict's sound
    // (the Elatec reader takes no request during its two beeps, 2.2 s); the
    // verdict repeated sounds once.
    if (tap % 4 == 0) {
      for (int i = 0; i < 3; ++i) {
        subscriber.publish(kValidationTopic, rejected("E1A7EC01"));
        subscriber.publish(kValidationTopic, rejected("70809001"));
      }
    }
    if (tap % 4 == 0 || tap % 3 == 0) std::this_thread::sleep_for(milliseconds(2500));
    elatec.removeCard();
    vor.removeCard();
    std::this_thread::sleep_for(milliseconds(1300 + (tap * 170) % 500));
  }
  EXPECT_EQ(service.countLines(R"("event":"token")"), 2 * kTaps);
  EXPECT_EQ(beeps, 2 * kTaps / 4);
}

}  // namespace
}  // namespace rfid_tokend_test
