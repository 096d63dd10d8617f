// DESFire fleet cards end to end: the genuine card and every attack card on
// simulated Elatec readers, through the service and a real mosquitto on
// 127.0.0.1. Only cards that prove the fleet's read key give a token; every
// other card is refused with its reason and gives no token of any kind; no
// key, session key or random number reaches any output, and no key crosses
// the serial line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>
#include <thread>

#include "harness.h"
#include "rfid_hex/hex.h"
#include "rfid_sim/desfire_fixtures.h"
#include "rfid_sim/simulator.h"
#include "test_cards.h"

namespace rfid_tokend_test {
namespace {

using rfid_sim::Card;
using rfid_sim::DesfireKind;
using rfid_sim::Model;
using rfid_sim::Simulator;

const char* const kDesfireTable =
    "[desfire]\n"
    "read_key = \"404142434445464748494A4B4C4D4E4F\"\n";
// The fleet's keys and the example card's application keys 0 and 1.
const char* const kSecrets[] = {
    "000102030405060708090A0B0C0D0E0F", "202122232425262728292A2B2C2D2E2F",
    "303132333435363738393A3B3C3D3E3F", "404142434445464748494A4B4C4D4E4F",
    "F9D537DE256600C9352A7CA0F1366203", "8ACDAF4F6F4C29346D29CA29DF5C6659"};
const std::string kSerial = "04782E21801D80";
const std::string kTokenId = "0000075BCD15";

Card desfire(DesfireKind kind) {
  return Card::desfire(rfid_sim::desfireCard(kind));
}

// A card emulated by whoever read K_DR out of a charger: no K_DM needed.
Card stolenReadKeyCard() {
  rfid_sim::DesfireFleet thief = rfid_sim::exampleFleet();
  thief.masterKey = rfid_desfire::AesKey{};
  return Card::desfire(
      *rfid_sim::fleetCard(rfid_sim::exampleSerial(), thief, {0, 0, 0, 0, 0, 0x42}));
}

// The longest run of hex digits in `text`: a key, a session key or a random
// number is 32 of them; a serial number 14, a token id 12.
std::size_t longestHexRun(const std::string& text) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (const char c : text) {
    run = std::isxdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

// One simulated Elatec reader with its card, and what the host sent it.
struct Lane {
  std::string name;
  std::string settings;
  std::unique_ptr<Simulator> reader;
  std::shared_ptr<std::string> sent = std::make_shared<std::string>();
  std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();

  Lane(std::string laneName, std::string laneSettings, Card card)
      : name(std::move(laneName)),
        settings(std::move(laneSettings)),
        reader(std::make_unique<Simulator>(Model::kElatec, std::move(card))) {
    reader->setTrace(
        [sent = sent, mutex = mutex](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
          const std::lock_guard<std::mutex> lock(*mutex);
          if (fromHost) sent->append(reinterpret_cast<const char*>(bytes), count);
        });
  }
};

class DesfireEndToEnd : public ::testing::Test {
 protected:
  DesfireEndToEnd() { ::mkdir(logDir_.c_str(), 0700); }

  std::string config(const std::vector<Lane>& lanes, const std::string& more = "") const {
    std::string text = "fleet_keys = \"" + fleetKeys_ + "\"\n" + more;
    for (const Lane& lane : lanes) {
      text += "[[reader]]\nmodel = \"elatec\"\npath = \"" + lane.reader->portPath() +
              "\"\nname = \"" + lane.name + "\"\ntoken = \"desfire\"\n" + lane.settings;
    }
    return dir_.write("tokend.toml", text);
  }

  // No output holds a key or anything as long as one, and no key went over
  // the line to any reader.
  void expectNoSecretShown(Service& service, const std::vector<Lane>& lanes) const {
    std::string all = monthlyLog(logDir_) + readFile(service.errorFile());
    for (const std::string& line : service.lines()) all += line + "\n";
    for (const char* secret : kSecrets) EXPECT_EQ(all.find(secret), std::string::npos) << secret;
    EXPECT_LT(longestHexRun(all), 16u) << all;
    for (const Lane& lane : lanes) {
      const std::lock_guard<std::mutex> lock(*lane.mutex);
      for (const char* secret : kSecrets) {
        const auto key = rfid_hex::fromHex(secret);
        ASSERT_TRUE(key);
        EXPECT_EQ(lane.sent->find(std::string(key->begin(), key->end())), std::string::npos)
            << lane.name << ": " << secret << " crossed the line";
      }
    }
  }

  TempDir dir_;
  std::string logDir_ = dir_.file("log");
  std::string fleetKeys_ = dir_.write("fleet.toml", std::string(kFleetChargerKeys) + kDesfireTable);
};

// Every card of the scheme's attacks on a reader of its own, each reader a
// worker of one service; the attack cards on readers that publish the
// serial number, where a copy of it would do the most harm.
TEST_F(DesfireEndToEnd, OnlyCardsThatProveTheReadKeyGiveATokenAndEachAttackItsReason) {
  const int port = freePort();
  Broker broker(dir_, "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n",
                {port});
  Subscriber subscriber(port);
  const std::string uid = "desfire_token = \"uid\"\n";
  const std::string file = "desfire_token = \"file\"\n";
  const struct {
    const char* name;
    std::string settings;
    Card card;
    std::string expected;
  } cases[] = {
      {"genuine-uid", uid, desfire(DesfireKind::kGenuine),
       tokenLine("genuine-uid", kSerial, "ISO14443")},
      {"genuine-file", file, desfire(DesfireKind::kGenuine),
       tokenLine("genuine-file", kTokenId, "Local")},
      {"genuine-no-sak", file + "desfire_get_sak = false\n", desfire(DesfireKind::kGenuine),
       tokenLine("genuine-no-sak", kTokenId, "Local")},
      {"stolen-read-key", file, stolenReadKeyCard(),
       tokenLine("stolen-read-key", "000000000042", "Local")},
      {"clone", uid, desfire(DesfireKind::kSerialClone), refusedLine("no-app", "clone", kSerial)},
      {"other-fleet", uid, desfire(DesfireKind::kOtherFleet),
       refusedLine("auth", "other-fleet", kSerial)},
      {"replay", uid, desfire(DesfireKind::kReplaying), refusedLine("auth", "replay", kSerial)},
      {"flipped-bit", uid, desfire(DesfireKind::kFlippedBit),
       refusedLine("mac", "flipped-bit", kSerial)},
      {"ev1", uid, desfire(DesfireKind::kEv1), refusedLine("version", "ev1", kSerial)},
      {"random-id", uid, desfire(DesfireKind::kRandomId),
       refusedLine("random-id", "random-id", "085C1E77")},
      {"classic", uid, classicFleetCard(), refusedLine("not-desfire", "classic", "1A2B3C4D")},
      {"classic-no-sak", uid + "desfire_get_sak = false\n", classicFleetCard(),
       refusedLine("not-desfire", "classic-no-sak", "1A2B3C4D")},
  };
  std::vector<Lane> lanes;
  for (const auto& entry : cases) lanes.emplace_back(entry.name, entry.settings, entry.card);
  Service service({"--jsonl", "--log-dir", logDir_, "--config",
                   config(lanes, "refused_sound = false\n"), "--mqtt",
                   "127.0.0.1:" + std::to_string(port), "--module-id", "rfid_1"});
  for (const auto& entry : cases) {
    EXPECT_TRUE(service.waitForLine(entry.expected, milliseconds(10000))) << entry.expected;
  }

  // The cards rest on the readers: nothing more. The genuine card's serial
  // number reaches the stack once, from the genuine card, never from its
  // copy.
  std::this_thread::sleep_for(scaled(milliseconds(1500)));
  EXPECT_EQ(service.countLines(R"("event":"token")"), 4);
  EXPECT_EQ(service.countLines(R"("event":"refused")"), 8);
  EXPECT_TRUE(
      eventually([&] { return subscriber.payloads(kTokenTopic).size() == 4; }, milliseconds(3000)));
  int serialTokens = 0;
  for (const std::string& payload : subscriber.payloads(kTokenTopic)) {
    serialTokens += payload.find(kSerial) != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(serialTokens, 1);
  EXPECT_EQ(countInLog(logDir_, "reader clone: card " + kSerial + " refused (no-app): no token"),
            1);
  expectNoSecretShown(service, lanes);
}

// A reader that serves Classic fleet cards beside DESFire cards, and one
// that takes cards without the application by their serial number: the
// fallbacks take only cards that prove nothing of the DESFire fleet, never
// one that failed its proof.
TEST_F(DesfireEndToEnd, FallbacksTakeOnlyCardsWithoutTheApplication) {
  const std::string fleet = "fallback = \"fleet\"\n";
  const std::string serial = "fallback = \"serial\"\n";
  std::vector<Lane> lanes;
  lanes.emplace_back("mixed-classic", fleet, classicFleetCard());
  lanes.emplace_back("mixed-desfire", fleet, desfire(DesfireKind::kGenuine));
  lanes.emplace_back("mixed-clone", fleet, desfire(DesfireKind::kSerialClone));
  lanes.emplace_back("serial-clone", serial, desfire(DesfireKind::kSerialClone));
  lanes.emplace_back("serial-classic", serial, Card::classic({0xB1, 0xB2, 0xB3, 0xB4}));
  lanes.emplace_back("serial-other", serial, desfire(DesfireKind::kOtherFleet));
  std::atomic<int> beeps{0};
  lanes.back().reader->setTrace([&](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    if (fromHost && count >= 4 && bytes[2] == 0x04 && bytes[3] == 0x07) ++beeps;
  });
  Service service({"--jsonl", "--log-dir", logDir_, "--config", config(lanes)});
  const std::string expected[] = {
      tokenLine("mixed-classic", kTokenId, "Local"),
      tokenLine("mixed-desfire", kTokenId, "Local"),
      refusedLine("no-app", "mixed-clone", kSerial),
      tokenLine("serial-clone", kSerial, "ISO14443"),
      tokenLine("serial-classic", "B1B2B3B4", "ISO14443"),
      refusedLine("auth", "serial-other", kSerial),
  };
  for (const std::string& line : expected) {
    EXPECT_TRUE(service.waitForLine(line, milliseconds(8000))) << line;
  }
  // The refused card rests: refused once, one rejected pattern (two beeps).
  EXPECT_TRUE(eventually([&] { return beeps == 2; }, milliseconds(5000)));
  std::this_thread::sleep_for(scaled(milliseconds(1500)));
  EXPECT_EQ(beeps, 2);
  EXPECT_EQ(service.countLines(R"("event":"refused")"), 2);
  EXPECT_EQ(service.countLines(R"("event":"token")"), 4);
  expectNoSecretShown(service, lanes);
}

// A reader that does not answer the card's exchanges in time gives no
// verdict, and the card is read again: never a refusal of the genuine card
// (without GetSAK its first exchange unanswered would read as a card that
// is no DESFire card).
TEST_F(DesfireEndToEnd, AnUnansweredExchangeIsNoVerdict) {
  Simulator reader(Model::kElatec, desfire(DesfireKind::kGenuine));
  rfid_sim::Timing slow;
  slow.replyDelay["tdx"] = milliseconds(1500);  // beyond the longest wait for a reply
  reader.setTiming(slow);
  Service service(
      {"--jsonl", "--log-dir", logDir_, "--config",
       dir_.write("tokend.toml",
                  "fleet_keys = \"" + fleetKeys_ + "\"\n[[reader]]\nmodel = \"elatec\"\npath = \"" +
                      reader.portPath() + "\"\ntoken = \"desfire\"\ndesfire_get_sak = false\n")});
  std::this_thread::sleep_for(scaled(milliseconds(2500)));
  EXPECT_EQ(service.countLines(R"("event":"refused")"), 0);
  EXPECT_EQ(service.countLines(R"("event":"token")"), 0);
  reader.setTiming({});
  EXPECT_TRUE(service.waitForLine(kTokenId, milliseconds(5000)));
}

// What the service refuses at start, each with exit 2 and a line that says
// why, and no key in it (the configuration's other refusals, the uid rule
// among them, are tables of the unit tests).
TEST_F(DesfireEndToEnd, ConfigurationsAndKeyFilesThatCouldYieldAnUnprovenTokenAreRefused) {
  const std::string bench =
      dir_.write("bench.toml", std::string(kFleetChargerKeys) + kDesfireTable +
                                   "master_key = \"303132333435363738393A3B3C3D3E3F\"\n");
  const std::string classicOnly = dir_.write("classic.toml", kFleetChargerKeys);
  const auto run = [&](const std::string& keys, const std::string& readers) {
    return runService(
        {"--config", dir_.write("start.toml", "fleet_keys = \"" + keys + "\"\n" + readers)});
  };
  const std::string desfireReader =
      "[[reader]]\nmodel = \"elatec\"\npath = \"/dev/null\"\ntoken = \"desfire\"\n";
  const struct {
    Outcome outcome;
    const char* fault;
  } cases[] = {
      {run(fleetKeys_, "[[reader]]\nmodel = \"vor\"\npath = \"/dev/null\"\ntoken = \"desfire\"\n"),
       "reader[1].token: \"desfire\" needs an elatec reader"},
      {run(bench, desfireReader), "holds desfire.master_key"},
      {run(classicOnly, desfireReader), "has no [desfire] table"},
  };
  for (const auto& [outcome, fault] : cases) {
    EXPECT_EQ(outcome.status, 2) << fault;
    EXPECT_NE(outcome.errors.find(fault), std::string::npos) << outcome.errors;
    for (const char* secret : kSecrets) {
      EXPECT_EQ(outcome.errors.find(secret), std::string::npos) << secret;
    }
  }
}

}  // namespace
}  // namespace rfid_tokend_test
