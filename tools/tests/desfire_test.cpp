// rfidctl's desfire commands on the simulated elatec reader: a factory card
// provisioned (or not, without --yes), verified and unprovisioned; every
// attack card's verdict through `desfire verify`; one card that the scheme
// cannot refuse; dump --save of a DESFire card; and no key value in any
// output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "rfid_hex/hex.h"
#include "rfid_sim/desfire_file.h"
#include "rfid_sim/desfire_fixtures.h"
#include "rfidctl_process.h"

namespace {

using rfid_tools_test::Result;

const char* const kBenchFile =
    "key_a = \"000102030405060708090A0B0C0D0E0F\"\n"
    "[mac]\n"
    "1 = \"202122232425262728292A2B2C2D2E2F\"\n"
    "[desfire]\n"
    "aid = \"F54556\"\n"
    "read_key = \"404142434445464748494A4B4C4D4E4F\"\n"
    "master_key = \"303132333435363738393A3B3C3D3E3F\"\n";
const char* const kChargerFile =
    "key_a = \"000102030405060708090A0B0C0D0E0F\"\n"
    "[mac]\n"
    "1 = \"202122232425262728292A2B2C2D2E2F\"\n"
    "[desfire]\n"
    "read_key = \"404142434445464748494A4B4C4D4E4F\"\n";

// Fleet keys and the first card's derived keys: none may ever be shown.
const char* const kSecrets[] = {
    "303132333435363738393A3B3C3D3E3F", "404142434445464748494A4B4C4D4E4F",
    "F9D537DE256600C9352A7CA0F1366203", "8ACDAF4F6F4C29346D29CA29DF5C6659"};

class DesfireCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    bench_ = directory_.privateFile("bench.toml", kBenchFile);
    charger_ = directory_.privateFile("charger.toml", kChargerFile);
    card_ = path("card.json");
  }
  void TearDown() override {
    for (const std::string& output : outputs_) {
      for (const char* secret : kSecrets) {
        EXPECT_EQ(output.find(secret), std::string::npos) << "a key in: " << output;
        EXPECT_EQ(output.find(std::string(secret).substr(0, 12)), std::string::npos) << output;
      }
    }
  }
  std::string path(const std::string& name) const { return directory_.file(name); }
  void writeCard(const rfid_sim::DesfireCard& card) {
    std::string error;
    ASSERT_TRUE(rfid_sim::writeDesfireFile(card_, card, error)) << error;
  }
  Result run(std::vector<std::string> args, const std::vector<std::string>& simulation) {
    std::vector<std::string> full = {"--simulate", "--fast", "--quiet", "--model", "elatec"};
    full.insert(full.end(), simulation.begin(), simulation.end());
    full.insert(full.end(), args.begin(), args.end());
    Result result = rfid_tools_test::rfidctl(full);
    outputs_.push_back(result.out + result.err);
    return result;
  }
  Result onCard(std::vector<std::string> args) {
    return run(std::move(args), {"--card-file", card_});
  }
  static nlohmann::json json(const Result& result) {
    const std::string& out = result.out;
    const std::size_t last = out.rfind('\n', out.size() - 2);
    return nlohmann::json::parse(out.substr(last == std::string::npos ? 0 : last + 1));
  }

  rfid_tools_test::TempDir directory_{"rfidctl-desfire"};
  std::string bench_, charger_, card_;
  std::vector<std::string> outputs_;
};

TEST_F(DesfireCommands, FactoryCardIsProvisionedVerifiedAndUnprovisioned) {
  writeCard(rfid_sim::desfireCard(rfid_sim::DesfireKind::kFactory));
  Result info = onCard({"--json", "desfire", "info"});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  EXPECT_EQ(json(info)["version"], "EV3");
  EXPECT_EQ(json(info)["sak"], "20");
  EXPECT_EQ(json(info)["applications"], nlohmann::json::array());

  Result dry =
      onCard({"--json", "desfire", "provision", "--fleet", bench_, "--token-id", "0000075BCD15"});
  ASSERT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_EQ(json(dry)["written"], false);
  EXPECT_EQ(json(dry)["steps"][0], "create application F54556 (key settings 09, 2 AES keys)");
  EXPECT_EQ(onCard({"--json", "desfire", "verify", "--fleet", charger_}).exitCode, 1);

  const Result provisioned = onCard(
      {"--json", "desfire", "provision", "--fleet", bench_, "--token-id", "0000075BCD15", "--yes"});
  ASSERT_EQ(provisioned.exitCode, 0) << provisioned.err;
  EXPECT_EQ(json(provisioned)["written"], true);
  const Result verified = onCard({"--json", "desfire", "verify", "--fleet", charger_});
  ASSERT_EQ(verified.exitCode, 0) << verified.err;
  EXPECT_EQ(json(verified)["valid"], true);
  EXPECT_EQ(json(verified)["token_id"], "0000075BCD15");
  // The card file now holds the genuine card's keys and file.
  std::string warning, error;
  const auto card = rfid_sim::readDesfireFile(card_, warning, error);
  ASSERT_TRUE(card) << error;
  const auto genuine = rfid_sim::desfireCard(rfid_sim::DesfireKind::kGenuine);
  EXPECT_EQ(card->applications().at(0xF54556).keys[1].key,
            genuine.applications().at(0xF54556).keys[1].key);

  // The charger's file cannot write cards.
  EXPECT_EQ(onCard({"desfire", "unprovision", "--fleet", charger_, "--yes"}).exitCode, 2);
  ASSERT_EQ(onCard({"desfire", "unprovision", "--fleet", bench_, "--yes"}).exitCode, 0);
  EXPECT_EQ(json(onCard({"--json", "desfire", "verify", "--fleet", charger_}))["reason"], "no-app");
}

// Every attack card through `desfire verify`: its reason, exit 1, no token.
TEST_F(DesfireCommands, EachAttackCardIsRefusedWithItsReason) {
  const std::pair<const char*, const char*> cards[] = {
      {"desfire-clone", "no-app"}, {"desfire-other-fleet", "auth"},
      {"desfire-replay", "auth"},  {"desfire-random-id", "random-id"},
      {"desfire-ev1", "version"},  {"desfire-flipped-bit", "mac"},
  };
  for (const auto& [card, reason] : cards) {
    const Result result =
        run({"--json", "desfire", "verify", "--fleet", charger_}, {"--card", card});
    EXPECT_EQ(result.exitCode, 1) << card << ": " << result.err;
    EXPECT_EQ(json(result)["valid"], false) << card;
    EXPECT_EQ(json(result)["reason"], reason) << card;
    EXPECT_TRUE(json(result)["token_id"].is_null()) << card;
  }
  const Result genuine =
      run({"--json", "desfire", "verify", "--fleet", charger_}, {"--card", "desfire-genuine"});
  EXPECT_EQ(genuine.exitCode, 0) << genuine.err;
  EXPECT_EQ(json(genuine)["token_id"], "0000075BCD15");
}

// What the scheme cannot stop, kept on purpose: whoever holds K_DR (a
// compromised charger) can emulate a card that every charger accepts.
TEST_F(DesfireCommands, ACardMadeWithAStolenReadKeyIsAccepted) {
  rfid_sim::DesfireFleet thief = rfid_sim::exampleFleet();
  thief.masterKey = rfid_desfire::AesKey{};  // K_DM is not needed
  writeCard(*rfid_sim::fleetCard(rfid_sim::exampleSerial(), thief, {0, 0, 0, 0, 0, 0x42}));
  const Result result = onCard({"--json", "desfire", "verify", "--fleet", charger_});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(json(result)["token_id"], "000000000042");
}

TEST_F(DesfireCommands, UsageFaultsAndCardsThatMustNotBeWritten) {
  const std::vector<std::vector<std::string>> faults = {
      {"desfire", "erase"},
      {"desfire", "verify"},
      {"desfire", "provision", "--fleet", "x.toml"},
      {"desfire", "provision", "--fleet", "x.toml", "--token-id", "12"},
      {"desfire", "verify", "--fleet", "x.toml", "--token-id", "0000075BCD15"},
  };
  for (const auto& args : faults) {
    EXPECT_EQ(run(args, {"--card", "desfire"}).exitCode, 2) << args[1];
  }
  EXPECT_EQ(rfid_tools_test::rfidctl({"--simulate", "--model", "vor", "desfire", "info"}).exitCode,
            2);
  rfid_sim::DesfireCard locked = rfid_sim::desfireCard(rfid_sim::DesfireKind::kFactory);
  locked.setPicc(0x0B, rfid_sim::DesfireKey{});
  writeCard(locked);
  const Result refused =
      onCard({"desfire", "provision", "--fleet", bench_, "--token-id", "0000075BCD15", "--yes"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("PICC key settings 0B forbid creating"), std::string::npos)
      << refused.err;
}

// dump --save of a DESFire card: the bench's file saves keys 0 and 1 into a
// file of mode 0600 that the simulator loads as the same fleet card; without
// K_DM no key reaches the file, and a file of another mode is not written.
TEST_F(DesfireCommands, DumpSavesACardFileTheSimulatorLoads) {
  writeCard(rfid_sim::desfireCard(rfid_sim::DesfireKind::kFactory));
  ASSERT_EQ(
      onCard({"desfire", "provision", "--fleet", bench_, "--token-id", "0000075BCD15", "--yes"})
          .exitCode,
      0);
  const std::string saved = path("out.json");
  const Result dump = onCard({"--json", "dump", "--save", saved, "--fleet", bench_});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_EQ(json(dump)["keys_saved"], true);
  EXPECT_EQ(json(dump)["applications"][0]["files"][0]["rights"], "1000");
  struct stat info {};
  ASSERT_EQ(::stat(saved.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600U);
  const Result verified =
      run({"--json", "desfire", "verify", "--fleet", charger_}, {"--card-file", saved});
  ASSERT_EQ(verified.exitCode, 0) << verified.err;
  EXPECT_EQ(json(verified)["token_id"], "0000075BCD15");
  // The card's derived keys are in the bench file only, never in an output.
  std::ifstream savedFile(saved);
  const nlohmann::json savedCard = nlohmann::json::parse(savedFile);
  ASSERT_EQ(savedCard["Applications"][0]["Keys"].size(), 2U);
  for (const auto& key : savedCard["Applications"][0]["Keys"]) {
    const std::string value = key.at("Key");
    EXPECT_EQ((dump.out + dump.err + verified.out + verified.err).find(value), std::string::npos);
  }

  const auto read = [](const std::string& file) {
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
  };
  for (const std::vector<std::string>& fleet :
       {std::vector<std::string>{"--fleet", charger_}, std::vector<std::string>{}}) {
    const std::string keyless = path("keyless" + std::to_string(fleet.size()) + ".json");
    std::vector<std::string> args = {"--json", "dump", "--save", keyless};
    args.insert(args.end(), fleet.begin(), fleet.end());
    const Result result = onCard(args);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(json(result)["keys_saved"], false);
    const std::string text = read(keyless);
    EXPECT_EQ(text.find("\"Key\""), std::string::npos) << text;
    outputs_.push_back(text);
    EXPECT_NE(text.find("\"NotRead\""), std::string::npos) << text;
    EXPECT_EQ(json(result)["not_read"].dump().find("F54556 files") != std::string::npos,
              fleet.empty());
    // The simulator loads it: the application under default keys.
    EXPECT_EQ(json(run({"--json", "desfire", "verify", "--fleet", charger_},
                       {"--card-file", keyless}))["reason"],
              "auth")
        << text;
  }

  // An existing file that is not a bench file gets the dump without keys.
  const std::string shared = path("shared.json");
  std::ofstream(shared) << "keep\n";
  ASSERT_EQ(::chmod(shared.c_str(), 0644), 0);
  const Result intoShared = onCard({"--json", "dump", "--save", shared, "--fleet", bench_});
  ASSERT_EQ(intoShared.exitCode, 0) << intoShared.err;
  EXPECT_EQ(json(intoShared)["keys_saved"], false);
  EXPECT_EQ(read(shared).find("\"Key\""), std::string::npos);
  ASSERT_EQ(::stat(shared.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644U);
  outputs_.push_back(read(shared));
}

}  // namespace
