// The card model: keys, access rights, states and dumps.
#include "rfid_sim/card.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace rfid_sim {
namespace {

const Key kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Key kOtherKey = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

Block filled(std::uint8_t value) {
  Block block{};
  block.fill(value);
  return block;
}

Card selectedDemoCard() {
  Card card = Card::demo();
  card.enterField();
  EXPECT_TRUE(card.request(false));
  return card;
}

TEST(Card, NeedsSelectionAndTheSectorsKeyAndFallsIdleOnAWrongKey) {
  Card card = Card::demo();
  card.enterField();
  EXPECT_FALSE(card.authenticate(0, KeyType::kA, kTransportKey)) << "not selected yet";
  ASSERT_TRUE(card.request(false));
  ASSERT_TRUE(card.authenticate(0, KeyType::kA, kTransportKey));
  EXPECT_EQ(card.readBlock(1)->at(0), 'D');
  EXPECT_FALSE(card.readBlock(4).has_value()) << "logged in to sector 0 only";

  EXPECT_FALSE(card.authenticate(1, KeyType::kA, kOtherKey));
  EXPECT_EQ(card.state(), Card::State::kIdle);
  EXPECT_FALSE(card.authenticate(1, KeyType::kA, kTransportKey)) << "idle until requested again";
  ASSERT_TRUE(card.request(false));
  EXPECT_TRUE(card.authenticate(1, KeyType::kA, kTransportKey));
}

TEST(Card, HaltedCardAnswersOnlyAWakeUpOrANewEntryIntoTheField) {
  Card card = selectedDemoCard();
  ASSERT_TRUE(card.halt());
  EXPECT_FALSE(card.request(false));
  EXPECT_FALSE(card.halt());
  EXPECT_TRUE(card.request(true));
  ASSERT_TRUE(card.halt());
  card.enterField();
  EXPECT_TRUE(card.request(false));
}

TEST(Card, TransportTrailerHidesKeyAAndKeyBIsDataNotAKey) {
  Card card = selectedDemoCard();
  ASSERT_TRUE(card.authenticate(2, KeyType::kA, kTransportKey));
  const auto trailer = card.readBlock(11);
  ASSERT_TRUE(trailer.has_value());
  Block expected = transportTrailer();
  std::fill_n(expected.begin(), 6, 0x00);
  EXPECT_EQ(*trailer, expected);

  // Key B is readable under the factory access bits, so a login with it
  // succeeds but every access after it is refused, as on a real card.
  ASSERT_TRUE(card.authenticate(2, KeyType::kB, kTransportKey));
  EXPECT_FALSE(card.readBlock(8).has_value());
  EXPECT_FALSE(card.writeBlock(8, filled(1)));
}

TEST(Card, AccessBitsDecideWhichKeyMayWriteAndOnlyPermittedTrailerPartsChange) {
  Card card = selectedDemoCard();
  ASSERT_TRUE(card.authenticate(1, KeyType::kA, kTransportKey));
  // Data blocks: read A or B, write B only (100); trailer 011: key B
  // writes the keys and access bits, key A reads the access bits.
  Block trailer = transportTrailer();
  const auto access = encodeAccessBits({4, 4, 4, 3});
  std::copy(access.begin(), access.end(), trailer.begin() + 6);
  std::copy(kOtherKey.begin(), kOtherKey.end(), trailer.begin() + 10);
  ASSERT_TRUE(card.writeBlock(7, trailer));

  ASSERT_TRUE(card.authenticate(1, KeyType::kA, kTransportKey));
  EXPECT_TRUE(card.readBlock(4).has_value());
  EXPECT_FALSE(card.writeBlock(4, filled(7)));
  EXPECT_FALSE(card.writeBlock(7, transportTrailer())) << "key A may change nothing in 011";

  ASSERT_TRUE(card.authenticate(1, KeyType::kB, kOtherKey));
  EXPECT_TRUE(card.writeBlock(4, filled(7)));
  EXPECT_EQ(*card.readBlock(4), filled(7));
  EXPECT_EQ(card.readBlock(7)->at(10), 0x00) << "key B is no longer readable";

  Block malformed = transportTrailer();
  malformed[8] = 0x81;
  EXPECT_FALSE(card.writeBlock(7, malformed)) << "would lock the sector for good";
}

TEST(Card, BlockZeroIsReadOnlyAndASevenByteCardRefusesBlockAccess) {
  Card card = selectedDemoCard();
  ASSERT_TRUE(card.authenticate(0, KeyType::kA, kTransportKey));
  EXPECT_FALSE(card.writeBlock(0, filled(0)));
  EXPECT_EQ(card.readBlock(0)->at(0), 0xA1);

  Card seven = Card::sevenByte({0x04, 1, 2, 3, 4, 5, 6});
  seven.enterField();
  ASSERT_TRUE(seven.request(false));
  EXPECT_EQ(seven.serial().size(), 7u);
  EXPECT_FALSE(seven.authenticate(0, KeyType::kA, kTransportKey));
}

TEST(CardFile, IsCreatedOrLoadedInItsFormatWithFactoryDefaultsOrRefusedNamingTheLine) {
  char directory[] = "/tmp/rfid-sim-card-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const CardFile json{std::string(directory) + "/card.json", rfid_image::Format::kJson};
  std::string warning;
  std::string error;
  auto card = openCardFile(json, Card::demo(), warning, error);
  ASSERT_TRUE(card.has_value()) << error;
  EXPECT_EQ(card->memory(), Card::demo().memory());
  const auto created = rfid_image::readImageFile(json.path, json.format, error);
  ASSERT_TRUE(created.has_value()) << error;
  EXPECT_TRUE(*created == imageOf(Card::demo())) << "a missing file is made from the blank card";

  // Sector 1 alone, its key A unknown: everything else as a new card.
  const CardFile mct{std::string(directory) + "/card.mct", rfid_image::Format::kMct};
  std::ofstream(mct.path) << "+Sector: 1\n"
                          << std::string(32, '1') << "\n"
                          << std::string(32, '0') << "\n"
                          << std::string(32, '0') << "\n"
                          << std::string(12, '-') << "7F078869B0B1B2B3B4B5\n";
  card = openCardFile(mct, Card::classic({1, 2, 3, 4}), warning, error);
  ASSERT_TRUE(card.has_value()) << error;
  EXPECT_EQ(card->serial(), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(card->memory()[4 * kBlockSize], 0x11);
  EXPECT_EQ(card->memory()[7 * kBlockSize], 0xFF) << "factory key A";
  EXPECT_EQ(card->memory()[7 * kBlockSize + 6], 0x7F);
  EXPECT_EQ(card->memory()[11 * kBlockSize + 15], 0xFF) << "a factory trailer in sector 2";
  EXPECT_EQ(warning.rfind(mct.path + ": blocks 0-3, 8-63; key A of sectors 0-15; key B of "
                                     "sectors 0, 2-15 unknown",
                          0),
            0u)
      << warning;

  std::ofstream(mct.path) << "+Sector: 1\n" << std::string(31, '1') << "\n";
  EXPECT_FALSE(openCardFile(mct, Card::demo(), warning, error).has_value());
  EXPECT_EQ(error.rfind(mct.path + ", line 2: expected 32 hex digits", 0), 0u) << error;
  std::remove(json.path.c_str());
  std::remove(mct.path.c_str());
  rmdir(directory);
}

}  // namespace
}  // namespace rfid_sim
