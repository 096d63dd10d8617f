// rfidctl's fleet card commands on simulated readers of both models: the
// scheme's vectors on a provisioned card, a card pulled halfway and
// finished, a foreign card left alone, every attack card's verdict, and no
// key value in any output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "fleet_images.h"
#include "rfid_hex/hex.h"
#include "rfid_image/image_file.h"
#include "rfidctl_process.h"

namespace {

using rfid_image::CardImage;
using rfid_tools_test::Result;

const char* const kBenchFile =
    "system_id = \"EVTOKEN-KEYS-V01\"\n"
    "key_a = \"000102030405060708090A0B0C0D0E0F\"\n"
    "key_b = \"101112131415161718191A1B1C1D1E1F\"\n"
    "[mac]\n"
    "1 = \"202122232425262728292A2B2C2D2E2F\"\n";
const char* const kChargerFile =
    "key_a = \"000102030405060708090A0B0C0D0E0F\"\n"
    "[mac]\n"
    "1 = \"202122232425262728292A2B2C2D2E2F\"\n";
const rfid_tools::Uid4 kUid = {0x1A, 0x2B, 0x3C, 0x4D};

rfid_cardauth::FleetKeys benchKeys() {
  rfid_cardauth::FleetKeys keys;
  EXPECT_EQ(rfid_cardauth::parseFleetKeys(kBenchFile, keys), std::nullopt);
  return keys;
}

class FleetCommands : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    bench_ = directory_.privateFile("bench.toml", kBenchFile);
    charger_ = directory_.privateFile("charger.toml", kChargerFile);
    card_ = directory_.file("card.mfd");
  }

  void writeCard(const CardImage& image) const {
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(rfid_image::writeImageFile(card_, image, rfid_image::Format::kBinary, "test",
                                           warnings, error))
        << error;
  }
  // The card's 1024 bytes, as the simulated reader left them.
  rfid_image::Memory card() const {
    std::string error;
    const auto image = rfid_image::readImageFile(card_, rfid_image::Format::kBinary, error);
    EXPECT_TRUE(image) << error;
    return rfid_image::memoryOfImage(image.value_or(CardImage{}));
  }
  static rfid_image::Memory memory(const CardImage& image) {
    return rfid_image::memoryOfImage(image);
  }
  // rfidctl on the card file, with a simulated reader of this test's model.
  Result run(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--simulate", "--fast", "--quiet", "--model", GetParam(), "--card-file", card_});
    Result result = rfid_tools_test::rfidctl(args);
    outputs_ += result.out + result.err;
    return result;
  }
  // Every output so far holds no key: not the fleet's, not a card's.
  void expectNoKeyShown(const CardImage& provisioned) const {
    std::vector<std::string> keys = {
        "000102030405060708090A0B0C0D0E0F", "101112131415161718191A1B1C1D1E1F",
        "202122232425262728292A2B2C2D2E2F", "0405060708", "2425262728"};
    for (int sector = 0; sector < rfid_image::kSectorCount; ++sector) {
      keys.push_back(rfid_hex::toHex(*provisioned.keyA[static_cast<std::size_t>(sector)]));
      keys.push_back(rfid_hex::toHex(*provisioned.keyB[static_cast<std::size_t>(sector)]));
    }
    std::string upper = outputs_;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& key : keys) {
      EXPECT_EQ(upper.find(key), std::string::npos) << "key " << key << " shown in:\n" << outputs_;
    }
  }

  rfid_tools_test::TempDir directory_{"rfidctl-fleet"};
  std::string bench_;
  std::string charger_;
  std::string card_;
  std::string outputs_;
};

TEST_P(FleetCommands, ProvisionGivesTheVectorsVerifyAcceptsAndUnprovisionUndoes) {
  const CardImage factory = rfid_image::blankImage(kUid);
  writeCard(factory);
  const auto expected =
      rfid_tools::fleetCardImage(benchKeys(), kUid, 1, {0, 0, 7, 0x5B, 0xCD, 0x15});
  ASSERT_TRUE(expected);

  Result dry = run({"provision", "--fleet", bench_, "--token-id", "0000075bcd15"});
  EXPECT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_NE(dry.out.find("Nothing written: add --yes"), std::string::npos) << dry.out;
  EXPECT_EQ(card(), memory(factory)) << "without --yes nothing is written";

  Result provisioned =
      run({"provision", "--fleet", bench_, "--token-id", "0000075BCD15", "--yes", "--json"});
  ASSERT_EQ(provisioned.exitCode, 0) << provisioned.err;
  EXPECT_NE(provisioned.out.find("\"verified\":true"), std::string::npos) << provisioned.out;
  EXPECT_EQ(card(), memory(*expected));
  const CardImage written = rfid_image::imageOfMemory(card());
  EXPECT_EQ(rfid_hex::toHex(*written.blocks[4]), "01010000075BCD158A55ED714F700282");
  EXPECT_EQ(rfid_hex::toHex(*written.keyA[1]), "D03CA049EA28");
  EXPECT_EQ(rfid_hex::toHex(*written.keyB[1]), "C7D33F8C1A1D");
  EXPECT_EQ(rfid_hex::toHex(written.trailer(1).data() + 6, 4), "78778869");

  Result verified = run({"verify", "--fleet", charger_, "--json"});
  EXPECT_EQ(verified.exitCode, 0) << verified.err;
  EXPECT_NE(verified.out.find("\"valid\":true,\"reason\":null,\"token_id\":\"0000075BCD15\","
                              "\"key_id\":1"),
            std::string::npos)
      << verified.out;

  Result undone = run({"unprovision", "--fleet", bench_, "--yes"});
  EXPECT_EQ(undone.exitCode, 0) << undone.err;
  EXPECT_EQ(card(), memory(factory));
  Result refused = run({"verify", "--fleet", charger_});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("(login)"), std::string::npos) << refused.err;
  expectNoKeyShown(*expected);
}

TEST_P(FleetCommands, AHalfProvisionedCardIsFinishedAndAForeignCardLeftAlone) {
  const auto full = rfid_tools::fleetCardImage(benchKeys(), kUid, 1, {0, 0, 0, 0, 0, 9});
  ASSERT_TRUE(full);
  CardImage half = rfid_image::blankImage(kUid);
  half.blocks[4] = full->blocks[4];
  for (std::size_t sector = 0; sector < 6; ++sector) {  // pulled after sector 5's trailer
    const auto trailer = static_cast<std::size_t>(rfid_image::trailerOf(static_cast<int>(sector)));
    half.blocks[trailer] = full->blocks[trailer];
    half.keyA[sector] = full->keyA[sector];
    half.keyB[sector] = full->keyB[sector];
  }
  writeCard(half);
  Result finished = run({"provision", "--fleet", bench_, "--token-id", "000000000009", "--yes"});
  EXPECT_EQ(finished.exitCode, 0) << finished.err;
  EXPECT_NE(finished.out.find("Sectors 0-5 of card 1A2B3C4D already carry fleet keys"),
            std::string::npos)
      << finished.out;
  EXPECT_EQ(card(), memory(*full));

  CardImage foreign = rfid_image::blankImage(kUid);
  foreign.keyA[9] = rfid_image::Key{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  foreign.keyB[9] = foreign.keyA[9];
  writeCard(foreign);
  Result refused = run({"provision", "--fleet", bench_, "--token-id", "000000000009", "--yes"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("sector(s) 9 of card 1A2B3C4D open with neither"), std::string::npos)
      << refused.err;
  EXPECT_EQ(card(), memory(foreign)) << "nothing written";
  expectNoKeyShown(*full);
}

// Provision pulled away after each of its 17 writes: the card is refused
// (login) until the last write is done, and provision run again finishes it.
TEST_P(FleetCommands, ACardPulledAwayAfterAnyWriteFailsClosedAndIsFinishedByAnotherRun) {
  const auto full = rfid_tools::fleetCardImage(benchKeys(), kUid, 1, {0, 0, 0, 0, 0, 9});
  ASSERT_TRUE(full);
  for (int writes = 1; writes <= 17; ++writes) {
    SCOPED_TRACE("pulled away after write " + std::to_string(writes));
    writeCard(rfid_image::blankImage(kUid));
    Result pulled = run({"provision", "--fleet", bench_, "--token-id", "000000000009", "--yes",
                         "--card-leaves-after-writes", std::to_string(writes)});
    EXPECT_EQ(pulled.exitCode, 1) << pulled.out << pulled.err;
    Result verdict = run({"verify", "--fleet", charger_, "--json"});
    if (writes < 17) {
      EXPECT_EQ(verdict.exitCode, 1) << verdict.out;
      EXPECT_NE(verdict.out.find("\"reason\":\"login\""), std::string::npos) << verdict.out;
    } else {
      EXPECT_EQ(verdict.exitCode, 0) << verdict.out << verdict.err;
    }
    Result finished = run({"provision", "--fleet", bench_, "--token-id", "000000000009", "--yes"});
    EXPECT_EQ(finished.exitCode, 0) << finished.err;
    EXPECT_EQ(card(), memory(*full));
  }
  expectNoKeyShown(*full);
}

TEST_P(FleetCommands, EveryAttackCardGetsItsVerdict) {
  const auto cards = rfid_tools::attackCards(benchKeys());
  ASSERT_EQ(cards.size(), 6u);
  for (const rfid_tools::AttackCard& attack : cards) {
    writeCard(attack.image);
    Result verdict = run({"verify", "--fleet", charger_, "--json"});
    const bool valid = attack.verdict == "valid";
    EXPECT_EQ(verdict.exitCode, valid ? 0 : 1) << attack.name << ": " << verdict.err;
    const std::string reason = valid ? "null" : "\"" + attack.verdict + "\"";
    EXPECT_NE(verdict.out.find("\"reason\":" + reason), std::string::npos)
        << attack.name << ": " << verdict.out;
  }
  expectNoKeyShown(cards.front().image);
}

TEST_P(FleetCommands, FleetFileFaultsAreUsageFaultsThatNameNoKey) {
  writeCard(rfid_image::blankImage(kUid));
  Result noKeyB = run({"provision", "--fleet", charger_, "--token-id", "000000000001", "--yes"});
  EXPECT_EQ(noKeyB.exitCode, 2);
  EXPECT_NE(noKeyB.err.find("holds no key_b"), std::string::npos) << noKeyB.err;
  ASSERT_EQ(::chmod(charger_.c_str(), 0644), 0);
  Result shared = run({"verify", "--fleet", charger_});
  EXPECT_EQ(shared.exitCode, 2);
  EXPECT_NE(shared.err.find("chmod 600"), std::string::npos) << shared.err;
  directory_.privateFile("bench.toml",
                         "key_a = \"000102030405060708090A0B0C0D0E0F\"\nkey_b = \"1011\"\n");
  Result malformed = run({"unprovision", "--fleet", bench_, "--yes"});
  EXPECT_EQ(malformed.exitCode, 2);
  EXPECT_NE(malformed.err.find("key_b must be 32 hex digits"), std::string::npos) << malformed.err;
  expectNoKeyShown(*rfid_tools::fleetCardImage(benchKeys(), kUid, 1, {}));
}

INSTANTIATE_TEST_SUITE_P(BothModels, FleetCommands, ::testing::Values("vor", "elatec"));

}  // namespace
