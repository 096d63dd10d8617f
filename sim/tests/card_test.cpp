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

TEST(Dump, RoundTripsAndRefusesFilesOfAnotherSize) {
  char directory[] = "/tmp/rfid-sim-dump-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/card.mfd";
  std::string error;
  Memory memory = Card::demo().memory();
  memory[100] = 0x5A;
  ASSERT_TRUE(saveDump(path, memory, error)) << error;
  const auto loaded = loadDump(path, error);
  ASSERT_TRUE(loaded.has_value()) << error;
  EXPECT_EQ(*loaded, memory);
  EXPECT_EQ(Card::classicFromDump(*loaded).serial(), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));

  std::ofstream(path, std::ios::app) << 'x';
  EXPECT_FALSE(loadDump(path, error).has_value());
  EXPECT_NE(error.find("1024"), std::string::npos);
  EXPECT_FALSE(loadDump(std::string(directory) + "/missing", error).has_value());
  std::remove(path.c_str());
  rmdir(directory);
}

}  // namespace
}  // namespace rfid_sim
