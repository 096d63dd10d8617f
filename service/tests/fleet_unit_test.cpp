// Fleet tokens in the service without I/O: the configuration, the token
// id's text, a tap's steps against a scripted reader, the refused event.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "Module_RFID.h"
#include "config.h"
#include "fleet_token.h"
#include "payloads.h"
#include "rfid_hex/hex.h"

namespace rfid_tokend {
namespace {

const char* const kChargerKeys =
    "key_a = \"000102030405060708090A0B0C0D0E0F\"\n"
    "[mac]\n"
    "1 = \"202122232425262728292A2B2C2D2E2F\"\n";

ParseResult parse(const std::vector<std::string>& flags, const std::string& toml) {
  const std::string path = "/tmp/rfid_tokend_fleet_" + std::to_string(::getpid()) + ".toml";
  std::ofstream(path) << toml;
  std::vector<const char*> argv = {"rfid-tokend", "--config", path.c_str()};
  for (const std::string& flag : flags) argv.push_back(flag.c_str());
  ParseResult result = parseCommandLine(static_cast<int>(argv.size()), argv.data());
  std::remove(path.c_str());
  return result;
}

// A configuration (`head` and `toml`) that runs, or that is refused with a
// line holding `fault`.
struct ConfigCase {
  std::string toml;
  const char* fault;  // nullptr: runs
};
void expectOutcomes(const std::string& head, const std::vector<ConfigCase>& cases) {
  for (const auto& [toml, fault] : cases) {
    const ParseResult result = parse({}, head + toml);
    if (fault == nullptr) {
      EXPECT_EQ(result.outcome, ParseResult::Outcome::kRun) << toml << result.text;
    } else {
      EXPECT_EQ(result.outcome, ParseResult::Outcome::kInvalid) << toml;
      EXPECT_NE(result.text.find(fault), std::string::npos) << result.text;
    }
  }
}

TEST(FleetConfig, TheTokenSourceFollowsTheSettingsAndFaultsNameTheKey) {
  const std::string vor = "[[reader]]\nmodel = \"vor\"\npath = \"/dev/a\"\n";
  const std::string elatec = "[[reader]]\nmodel = \"elatec\"\npath = \"/dev/b\"\n";
  const ParseResult fleet = parse({"--fleet-keys", "fleet.toml", "--reader", "vor:/dev/c"},
                                  "refused_sound = false\n" + vor +
                                      "token_format = \"decimal\"\nfallback = \"serial\"\n" +
                                      elatec + "block = 4\nrefused_sound = true\n");
  ASSERT_EQ(fleet.outcome, ParseResult::Outcome::kRun) << fleet.text;
  const auto& readers = fleet.config.readers;
  EXPECT_EQ(readers[0].token, TokenSource::kFleet);
  EXPECT_EQ(readers[0].tokenType, "Local");
  EXPECT_EQ(readers[0].tokenFormat, TokenFormat::kDecimal);
  EXPECT_TRUE(readers[0].fallbackSerial);
  EXPECT_FALSE(*readers[0].refusedSound);
  EXPECT_EQ(readers[1].token, TokenSource::kBlock) << "a reader that names its block keeps it";
  EXPECT_TRUE(*readers[1].refusedSound);
  EXPECT_EQ(readers[2].token, TokenSource::kFleet) << "--reader too";
  const ParseResult plain = parse({}, vor);
  ASSERT_EQ(plain.outcome, ParseResult::Outcome::kRun) << plain.text;
  EXPECT_EQ(plain.config.readers[0].token, TokenSource::kSerial);

  const std::string keys = "fleet_keys = \"fleet.toml\"\n";
  const std::pair<std::string, const char*> faults[] = {
      {vor + "token = \"fleet\"\n", "reader[1].token: \"fleet\" needs the fleet key file"},
      {keys + vor + "token = \"nfc\"\n", "reader[1].token: unknown source \"nfc\""},
      {keys + vor + "token_format = \"base32\"\n", "unknown form \"base32\" (hex or decimal)"},
      {keys + vor + "fallback = \"none\"\n", "reader[1].fallback: unknown fallback \"none\""},
      {keys + vor + "token = \"serial\"\nblock = 4\n", "block: describes a block token"},
      {keys + vor + "token = \"block\"\n", "reader[1].block: missing"},
      {vor + "fallback = \"serial\"\n", "settings of fleet tokens"},
      {keys + vor + "refused_sound = 1\n", "refused_sound: must be true or false"},
  };
  for (const auto& [toml, fault] : faults) {
    const ParseResult result = parse({}, toml);
    EXPECT_EQ(result.outcome, ParseResult::Outcome::kInvalid) << toml;
    EXPECT_NE(result.text.find(fault), std::string::npos) << result.text;
  }
}

// No token that any card can carry may read as a fleet token of any reader:
// what a configuration lets through, and the line that refuses it.
TEST(FleetConfig, AFleetTokenThatAnotherTokenCouldEqualIsRefused) {
  const std::string keys = "fleet_keys = \"fleet.toml\"\n";
  const auto reader = [](const char* path, const std::string& more) {
    return std::string("[[reader]]\nmodel = \"vor\"\npath = \"") + path + "\"\n" + more;
  };
  const std::string decimal = "token_format = \"decimal\"\n";
  const std::string fallback = "fallback = \"serial\"\n";
  const std::vector<ConfigCase> cases = {
      {reader("/dev/a", decimal + fallback), nullptr},
      {reader("/dev/a", fallback), nullptr},
      {reader("/dev/a", decimal) + reader("/dev/b", "token = \"serial\"\n"), nullptr},
      {reader("/dev/a", decimal) +
           reader("/dev/b", "token = \"serial\"\ntoken_prefix = \"1234567\"\n"),
       "reader[1].token_prefix: a fleet token of this reader could be the same string as one "
       "of the serial-number tokens of reader \"/dev/b\""},
      {reader("/dev/a", decimal) + reader("/dev/b", "token = \"serial\"\ntoken_prefix = \"S\"\n"),
       nullptr},
      {reader("/dev/a", "") + reader("/dev/b", "token = \"serial\"\ntoken_prefix = \"00AB\"\n"),
       "serial-number tokens of reader \"/dev/b\""},
      {reader("/dev/a", "token_prefix = \"00\"\n" + fallback), nullptr},
      {reader("/dev/a", decimal) + reader("/dev/b", "block = 4\nblock_format = \"ascii\"\n"),
       "block tokens of reader \"/dev/b\""},
      {reader("/dev/a", decimal + "token_prefix = \"F-\"\n") +
           reader("/dev/b", "block = 4\nblock_format = \"ascii\"\ntoken_prefix = \"B-\"\n"),
       nullptr},
      {reader("/dev/a", decimal) + reader("/dev/b", "block = 4\n"), nullptr},
  };
  expectOutcomes(keys, cases);
}

// DESFire readers: the token's form and type, and every setting that does
// not fit; a serial-number DESFire token beside any reader that publishes
// serial numbers is refused whatever the prefixes.
TEST(FleetConfig, DesfireSettingsAndTheSerialNumbersTheyMustNotMeet) {
  const std::string keys = "fleet_keys = \"fleet.toml\"\n";
  const auto reader = [](const char* model, const char* path, const std::string& more) {
    return std::string("[[reader]]\nmodel = \"") + model + "\"\npath = \"" + path + "\"\n" + more;
  };
  const std::string desfire = "token = \"desfire\"\n";
  const std::string uid = desfire + "desfire_token = \"uid\"\n";
  const ParseResult ran =
      parse({}, keys + reader("elatec", "/dev/a", uid + "desfire_get_sak = false\n") +
                    reader("elatec", "/dev/b", desfire + "fallback = \"fleet\"\n") +
                    reader("elatec", "/dev/c",
                           desfire + "token_type = \"Central\"\n" + "fallback = \"fleet\"\n"));
  ASSERT_EQ(ran.outcome, ParseResult::Outcome::kRun) << ran.text;
  const auto& readers = ran.config.readers;
  EXPECT_EQ(readers[0].tokenType, "ISO14443");
  EXPECT_FALSE(readers[0].desfireGetSak);
  EXPECT_EQ(readers[1].desfireToken, DesfireToken::kFile) << "the token id unless told";
  EXPECT_EQ(readers[1].tokenType, "Local");
  EXPECT_TRUE(readers[1].fallbackFleet);
  EXPECT_EQ(readers[2].fleetTokenType, "Central");

  const std::vector<ConfigCase> cases = {
      {reader("elatec", "/dev/a", desfire + "fallback = \"serial\"\n") +
           reader("vor", "/dev/b", "token = \"serial\"\n"),
       nullptr},
      {reader("vor", "/dev/a", desfire), "reader[1].token: \"desfire\" needs an elatec reader"},
      {reader("elatec", "/dev/a", uid + "fallback = \"serial\"\n"),
       "reader[1].desfire_token: \"uid\" publishes the card's serial number once the card "
       "proved its key, but its own fallback = \"serial\""},
      {reader("elatec", "/dev/a", uid) +
           reader("elatec", "/dev/b", "token = \"fleet\"\nfallback = \"serial\"\n"),
       "but reader \"/dev/b\", which falls back to serial numbers"},
      {reader("elatec", "/dev/a", uid + "token_prefix = \"D-\"\n") +
           reader("vor", "/dev/b", "token = \"serial\"\ntoken_prefix = \"S-\"\n"),
       "reader \"/dev/b\", which publishes serial numbers"},
      {reader("elatec", "/dev/a", uid) + reader("elatec", "/dev/b", "block = 4\n"), nullptr},
      {reader("elatec", "/dev/a", desfire + "token_prefix = \"00\"\n") +
           reader("vor", "/dev/b", "token = \"serial\"\n"),
       "could be the same string as one of the serial-number tokens of reader \"/dev/b\""},
      {reader("elatec", "/dev/a", desfire + "desfire_token = \"card\"\n"),
       "reader[1].desfire_token: unknown form \"card\" (uid or file)"},
      {reader("elatec", "/dev/a", "token = \"fleet\"\ndesfire_token = \"uid\"\n"),
       "reader[1].desfire_token: desfire_token and desfire_get_sak are settings of token = "
       "\"desfire\""},
      {reader("elatec", "/dev/a", "fallback = \"fleet\"\n"),
       "reader[1].fallback: \"fleet\" is a fallback of token = \"desfire\""},
      {reader("elatec", "/dev/a", desfire + "fallback = \"fleet\"\ndesfire_get_sak = false\n"),
       "reader[1].desfire_get_sak: false does not go with fallback = \"fleet\""},
  };
  expectOutcomes(keys, cases);
  EXPECT_NE(parse({}, reader("elatec", "/dev/a", desfire)).text.find("needs the fleet key file"),
            std::string::npos);
}

// A reader that answers as scripted and notes the key in the module's
// table at the login.
class ScriptedReader : public FleetCardReader {
 public:
  Result loginResult = Result::kDone;
  Result readResult = Result::kDone;
  rfid_cardauth::Block block{};
  std::string keyAtLogin;

  Result login(int number) override {
    keyAtLogin = rfid_hex::toHex(sectorKeyA[number / 4], 6);
    return loginResult;
  }
  Result read(int /*block*/, std::uint8_t* data) override {
    if (readResult == Result::kDone) std::memcpy(data, block.data(), block.size());
    return readResult;
  }
};

TEST(FleetToken, ATapLogsInWithTheCardsKeyReadsBlock4AndPutsTheKeyTableBack) {
  rfid_cardauth::FleetKeys keys;
  ASSERT_EQ(rfid_cardauth::parseFleetKeys(kChargerKeys, keys), std::nullopt);
  const std::vector<std::uint8_t> uid = {0x1A, 0x2B, 0x3C, 0x4D};
  const std::string tableBefore = rfid_hex::toHex(sectorKeyA[1], 6);
  ScriptedReader reader;
  ASSERT_TRUE(rfid_hex::parseHex("01010000075BCD158A55ED714F700282", reader.block.data(), 16));

  FleetRead read = readFleetToken(keys, uid, reader);
  EXPECT_EQ(read.outcome, FleetRead::Outcome::kToken);
  EXPECT_EQ(reader.keyAtLogin, "D03CA049EA28");
  EXPECT_EQ(rfid_hex::toHex(sectorKeyA[1], 6), tableBefore);
  EXPECT_EQ(fleetTokenText(read.tokenId, TokenFormat::kHex), "0000075BCD15");
  EXPECT_EQ(fleetTokenText(read.tokenId, TokenFormat::kDecimal), "000000123456789");
  EXPECT_EQ(fleetTokenText({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, TokenFormat::kDecimal),
            "281474976710655");

  reader.block[15] ^= 1;
  EXPECT_EQ(readFleetToken(keys, uid, reader).reason, "mac");
  reader.block = {};
  EXPECT_EQ(readFleetToken(keys, uid, reader).reason, "layout");
  reader.readResult = FleetCardReader::Result::kRefused;
  EXPECT_EQ(readFleetToken(keys, uid, reader).reason, "login");
  reader.readResult = FleetCardReader::Result::kLost;
  EXPECT_EQ(readFleetToken(keys, uid, reader).outcome, FleetRead::Outcome::kLost);
  reader.loginResult = FleetCardReader::Result::kRefused;
  read = readFleetToken(keys, uid, reader);
  EXPECT_EQ(read.outcome, FleetRead::Outcome::kRefused);
  EXPECT_EQ(read.reason, "login");
  EXPECT_EQ(rfid_hex::toHex(sectorKeyA[1], 6), tableBefore);
}

// key_b rewrites Classic fleet cards, desfire.master_key DESFire ones.
TEST(FleetToken, AChargerFileWithABenchKeyIsRefusedWithoutItsValue) {
  const std::string path = "/tmp/rfid_tokend_fleet_keys_" + std::to_string(::getpid());
  const std::pair<std::string, const char*> files[] = {
      {"key_b = \"101112131415161718191A1B1C1D1E1F\"\n" + std::string(kChargerKeys), "holds key_b"},
      {std::string(kChargerKeys) + "[desfire]\nread_key = \"404142434445464748494A4B4C4D4E4F\"\n"
                                   "master_key = \"101112131415161718191A1B1C1D1E1F\"\n",
       "holds desfire.master_key"},
  };
  for (const auto& [text, shown] : files) {
    std::ofstream(path) << text;
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    rfid_cardauth::FleetKeys keys;
    const auto fault = readChargerFleetKeys(path, keys);
    std::remove(path.c_str());
    ASSERT_TRUE(fault);
    EXPECT_NE(fault->find(shown), std::string::npos) << *fault;
    EXPECT_EQ(fault->find("1011121314"), std::string::npos) << *fault;
  }
}

TEST(FleetToken, TheRefusedEventLeadsWithItsReasonAndCarriesTheSerialNumber) {
  const ReaderEvent refused{ReaderEvent::Kind::kRefused, "1A2B3C4D", "", "key-id"};
  const auto decoded = decodeReaderEvent(encodeReaderEvent(refused));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->kind, ReaderEvent::Kind::kRefused);
  EXPECT_EQ(decoded->value, "1A2B3C4D");
  EXPECT_EQ(decoded->reason, "key-id");
  EXPECT_EQ(eventLine(refused, "front", {1}, std::chrono::system_clock::time_point{}),
            R"({"event":"refused","reason":"key-id","reader":"front","serial":"1A2B3C4D",)"
            R"("time":"1970-01-01T00:00:00.000Z"})");
}

}  // namespace
}  // namespace rfid_tokend
