// Fleet tokens end to end: the attack cards as card files (loaded as
// --card-file loads them) on simulated readers of both models, through the
// service and a real mosquitto on 127.0.0.1. Only the genuine card and its
// full copy give a token; every other card is refused with its reason, no
// token of any kind, and no key value reaches any output.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "fleet_images.h"
#include "harness.h"
#include "rfid_image/image_file.h"
#include "rfid_sim/simulator.h"
#include "test_cards.h"

namespace rfid_tokend_test {
namespace {

using rfid_sim::Card;
using rfid_sim::Model;
using rfid_sim::Simulator;

// The fleet's keys and the genuine card's keys: none may appear anywhere.
const char* const kSecrets[] = {"000102030405060708090A0B0C0D0E0F",
                                "101112131415161718191A1B1C1D1E1F",
                                "202122232425262728292A2B2C2D2E2F", "D03CA049EA28", "C7D33F8C1A1D"};

class FleetEndToEnd : public ::testing::Test {
 protected:
  FleetEndToEnd() { ::mkdir(logDir_.c_str(), 0700); }

  static rfid_cardauth::FleetKeys bench() {
    rfid_cardauth::FleetKeys keys;
    EXPECT_EQ(rfid_cardauth::parseFleetKeys(fleetBenchKeys(), keys), std::nullopt);
    return keys;
  }

  // `image` written as a card file and loaded from it.
  Card card(const rfid_image::CardImage& image, const std::string& name) const {
    const rfid_sim::CardFile file{dir_.file(name + ".mfd"), rfid_image::Format::kBinary};
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_TRUE(rfid_image::writeImageFile(file.path, image, file.format, "test", warnings, error))
        << error;
    std::string warning;
    const auto loaded = rfid_sim::openCardFile(file, Card::demo(), warning, error);
    EXPECT_TRUE(loaded) << error;
    return loaded.value_or(Card::demo());
  }

  // The attack card `name`.
  Card card(const std::string& name) const {
    for (const rfid_tools::AttackCard& attack : rfid_tools::attackCards(bench())) {
      if (attack.name == name) return card(attack.image, name);
    }
    ADD_FAILURE() << "no attack card " << name;
    return Card::demo();
  }

  std::string readerTable(const Simulator& reader, const std::string& name,
                          const std::string& more = "") const {
    return std::string("[[reader]]\nmodel = \"") +
           (reader.model() == Model::kVor ? "vor" : "elatec") + "\"\npath = \"" +
           reader.portPath() + "\"\nname = \"" + name + "\"\n" + more;
  }

  std::vector<std::string> args(const std::string& config, int port) const {
    return {"--jsonl",
            "--log-dir",
            logDir_,
            "--config",
            dir_.write("tokend.toml", config),
            "--mqtt",
            "127.0.0.1:" + std::to_string(port),
            "--module-id",
            "rfid_1"};
  }

  // Every output of the service holds no key.
  void expectNoKeyShown(Service& service) const {
    std::string all = monthlyLog(logDir_) + readFile(service.errorFile());
    for (const std::string& line : service.lines()) all += line + "\n";
    for (const char* secret : kSecrets) {
      EXPECT_EQ(all.find(secret), std::string::npos) << secret;
    }
  }

  TempDir dir_;
  std::string logDir_ = dir_.file("log");
  std::string fleetKeys_ = dir_.write("fleet.toml", kFleetChargerKeys);
};

// Every attack card on a reader of each model at once, each reader a worker
// of one service.
TEST_F(FleetEndToEnd, OnlyTheGenuineCardAndItsFullCopyGiveATokenOnEitherModel) {
  const int port = freePort();
  Broker broker(dir_, "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n",
                {port});
  Subscriber subscriber(port);
  const struct {
    const char* card;
    const char* reason;  // nullptr: the genuine token
    const char* serial;
  } taps[] = {
      {"provisioned", nullptr, "1A2B3C4D"},     {"uid-clone", "login", "1A2B3C4D"},
      {"block-swap", "mac", "5E6F7081"},        {"bit-flip", "mac", "1A2B3C4D"},
      {"unknown-key-id", "key-id", "1A2B3C4D"}, {"full-copy", nullptr, "1A2B3C4D"},
  };
  std::vector<std::unique_ptr<Simulator>> readers;
  std::vector<std::string> expected;
  std::string config = "fleet_keys = \"" + fleetKeys_ + "\"\nrefused_sound = false\n";
  for (const auto& tap : taps) {
    for (const Model model : {Model::kVor, Model::kElatec}) {
      const std::string name = std::string(tap.card) + (model == Model::kVor ? "-vor" : "-elatec");
      readers.push_back(std::make_unique<Simulator>(model, card(tap.card)));
      config += readerTable(*readers.back(), name);
      expected.push_back(tap.reason == nullptr ? tokenLine(name, "0000075BCD15", "Local")
                                               : refusedLine(tap.reason, name, tap.serial));
    }
  }
  Service service(args(config, port));
  for (const std::string& line : expected) {
    EXPECT_TRUE(service.waitForLine(line, milliseconds(8000))) << line;
  }

  // The cards rest on the readers: nothing more. Four tokens, all the
  // genuine card's id, and nothing else of any kind: no serial-number
  // token for the clone.
  std::this_thread::sleep_for(scaled(milliseconds(1500)));
  EXPECT_EQ(service.countLines(R"("event":"token")"), 4);
  EXPECT_EQ(service.countLines(R"("event":"refused")"), 8);
  EXPECT_TRUE(
      eventually([&] { return subscriber.payloads(kTokenTopic).size() == 4; }, milliseconds(3000)));
  for (const std::string& payload : subscriber.payloads(kTokenTopic)) {
    EXPECT_NE(payload.find(R"("value":"0000075BCD15","type":"Local")"), std::string::npos)
        << payload;
  }
  EXPECT_EQ(countInLog(logDir_, "card 5E6F7081 refused (mac)"), 2);
  expectNoKeyShown(service);
}

TEST_F(FleetEndToEnd, ARefusedCardSoundsOnceWhileItRestsAndOnlyCardsWithoutATokenFallBack) {
  Simulator vor(Model::kVor, card("bit-flip"));
  Simulator elatec(Model::kElatec, card("bit-flip"));
  Simulator clone(Model::kVor, card("uid-clone"));
  Simulator flipped(Model::kVor, card("bit-flip"));
  Simulator genuine(Model::kVor, card("provisioned"));
  std::atomic<int> buzzes{0};
  std::atomic<int> beeps{0};
  vor.setTrace([&](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    if (fromHost && count >= 2 && bytes[1] == 0x14) ++buzzes;
  });
  elatec.setTrace([&](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    if (fromHost && count >= 4 && bytes[2] == 0x04 && bytes[3] == 0x07) ++beeps;
  });
  const std::string fallback =
      "fallback = \"serial\"\ntoken_format = \"decimal\"\nrefused_sound = false\n";
  Service service(
      {"--jsonl", "--log-dir", logDir_, "--fleet-keys", fleetKeys_, "--config",
       dir_.write("tokend.toml", readerTable(vor, "vor") + readerTable(elatec, "elatec") +
                                     readerTable(clone, "clone", fallback) +
                                     readerTable(flipped, "flipped", fallback) +
                                     readerTable(genuine, "genuine", fallback))});
  EXPECT_TRUE(service.waitForLine(refusedLine("mac", "vor", "1A2B3C4D"), milliseconds(5000)));
  EXPECT_TRUE(service.waitForLine(refusedLine("mac", "elatec", "1A2B3C4D"), milliseconds(5000)));
  // The clone reaches the stack as a plain serial number, never as the
  // fleet token; a failed MAC is refused even where the reader falls back;
  // the genuine card there gives its id in decimal.
  EXPECT_TRUE(service.waitForLine(tokenLine("clone", "1A2B3C4D", "ISO14443"), milliseconds(5000)));
  EXPECT_TRUE(service.waitForLine(refusedLine("mac", "flipped", "1A2B3C4D"), milliseconds(5000)));
  EXPECT_TRUE(
      service.waitForLine(tokenLine("genuine", "000000123456789", "Local"), milliseconds(5000)));

  // Resting on the reader: refused once, one Warn line, the rejected
  // pattern (two signals) once, and nothing from the readers told to keep quiet.
  EXPECT_TRUE(eventually([&] { return buzzes == 2 && beeps == 2; }, milliseconds(5000)));
  std::this_thread::sleep_for(scaled(milliseconds(2000)));
  EXPECT_EQ(service.countLines(R"("event":"refused")"), 3);
  EXPECT_EQ(countInLog(logDir_, "reader vor: card 1A2B3C4D refused (mac)"), 1);
  EXPECT_EQ(countInLog(logDir_, "reader elatec: card 1A2B3C4D refused (mac)"), 1);
  EXPECT_EQ(buzzes, 2);
  EXPECT_EQ(beeps, 2);
  EXPECT_EQ(service.countLines(R"("event":"token")"), 2);
  expectNoKeyShown(service);
}

// A UID-changeable card with serial number 12345678 and the fleet card
// with token id 12,345,678, both typed ISO14443: the clone's serial number
// never reads as the fleet card's token.
TEST_F(FleetEndToEnd, ASerialNumberThatReadsAsDecimalNeverEqualsADecimalTokenId) {
  Simulator clone(Model::kVor, card(rfid_image::blankImage({0x12, 0x34, 0x56, 0x78}), "clone"));
  const auto genuineImage =
      rfid_tools::fleetCardImage(bench(), {0x1A, 0x2B, 0x3C, 0x4D}, 1, {0, 0, 0, 0xBC, 0x61, 0x4E});
  ASSERT_TRUE(genuineImage);
  Simulator genuine(Model::kElatec, card(*genuineImage, "genuine"));
  const std::string settings =
      "fallback = \"serial\"\ntoken_format = \"decimal\"\ntoken_type = \"ISO14443\"\n";
  Service service({"--jsonl", "--log-dir", logDir_, "--fleet-keys", fleetKeys_, "--config",
                   dir_.write("tokend.toml", readerTable(clone, "clone", settings) +
                                                 readerTable(genuine, "genuine", settings))});
  EXPECT_TRUE(service.waitForLine(tokenLine("clone", "12345678", "ISO14443"), milliseconds(5000)));
  EXPECT_TRUE(
      service.waitForLine(tokenLine("genuine", "000000012345678", "ISO14443"), milliseconds(5000)));
  EXPECT_EQ(service.countLines(R"("value":"12345678")"), 1);
  expectNoKeyShown(service);
}

TEST_F(FleetEndToEnd, AChargerRefusesAFleetKeyFileThatHoldsKeyB) {
  const std::string bench = dir_.write("bench.toml", fleetBenchKeys());
  const Outcome outcome = runService({"--reader", "vor:/dev/null", "--fleet-keys", bench});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.errors.find("holds key_b"), std::string::npos) << outcome.errors;
  for (const char* secret : kSecrets) {
    EXPECT_EQ(outcome.errors.find(secret), std::string::npos) << secret;
  }
}

}  // namespace
}  // namespace rfid_tokend_test
