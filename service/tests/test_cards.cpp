#include "test_cards.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "fleet_images.h"
#include "rfid_cardauth/fleet_keys.h"
#include "rfid_image/card_image.h"

namespace rfid_tokend_test {

const char* const kFleetChargerKeys =
    "key_a = \"000102030405060708090A0B0C0D0E0F\"\n"
    "[mac]\n"
    "1 = \"202122232425262728292A2B2C2D2E2F\"\n";

std::string fleetBenchKeys() {
  return "key_b = \"101112131415161718191A1B1C1D1E1F\"\n" + std::string(kFleetChargerKeys);
}

rfid_sim::Card classicFleetCard() {
  rfid_cardauth::FleetKeys bench;
  EXPECT_EQ(rfid_cardauth::parseFleetKeys(fleetBenchKeys(), bench), std::nullopt);
  const auto image =
      rfid_tools::fleetCardImage(bench, {0x1A, 0x2B, 0x3C, 0x4D}, 1, {0, 0, 7, 0x5B, 0xCD, 0x15});
  EXPECT_TRUE(image);
  return image ? rfid_sim::Card::classicFromDump(rfid_image::memoryOfImage(*image))
               : rfid_sim::Card::demo();
}

rfid_sim::Card badge() {
  rfid_sim::Memory memory = rfid_sim::Card::classic({0xB1, 0xB2, 0xB3, 0xB4}).memory();
  const std::string text = "EMP-0042";
  std::copy(text.begin(), text.end(), memory.begin() + 4 * 16);
  const std::uint8_t key[] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  std::copy(std::begin(key), std::end(key), memory.begin() + 7 * 16);
  return rfid_sim::Card::classicFromDump(memory);
}

void expectRefusedToStart(const Outcome& outcome, const std::string& fault,
                          std::initializer_list<const char*> secrets) {
  EXPECT_EQ(outcome.status, 2) << fault;
  EXPECT_NE(outcome.errors.find(fault), std::string::npos) << outcome.errors.substr(0, 300);
  EXPECT_EQ(std::count(outcome.errors.begin(), outcome.errors.end(), '\n'), 1)
      << outcome.errors.substr(0, 300);
  for (const char* secret : secrets) {
    EXPECT_EQ(outcome.errors.find(secret), std::string::npos) << secret;
  }
}

}  // namespace rfid_tokend_test
