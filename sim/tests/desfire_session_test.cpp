// The charger's DESFire read through the module (searchTag, GetSAK, TDX)
// against the simulated Elatec reader, for the genuine card and each card
// that attacks it; and the time a read costs on the paced line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "rfid_desfire/module_link.h"
#include "rfid_serial/serial_port.h"
#include "rfid_sim/desfire_fixtures.h"
#include "rfid_sim/simulator.h"

namespace rfid_sim {
namespace {

using rfid_desfire::ReadVerdict;

rfid_desfire::ReaderKeys chargerKeys() {
  const DesfireFleet fleet = exampleFleet();
  rfid_desfire::ReaderKeys keys;
  keys.aid = fleet.aid;
  keys.readKey = fleet.readKey;
  keys.systemId = fleet.systemId;
  return keys;
}

struct Tap {
  bool found = false;
  rfid_desfire::FleetRead read;
};

Tap tap(Simulator& simulator, bool skipSak = false) {
  const rfid_serial::UniqueFd port(
      ::open(simulator.portPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  EXPECT_TRUE(rfid_serial::configureRawPort(port.get(), rfid_serial::kDefaultBaud));
  unsigned char record[RFID_SERIAL_RECORD_SIZE] = {};
  Tap result;
  result.found = searchTag(port.get(), RFID_MODULE_ELATEC, record, RFID_STAGE_SEARCH);
  if (!result.found) return result;
  const rfid_desfire::Bytes serial(record + 1, record + 1 + record[0]);
  result.read = rfid_desfire::readFleetCardWithModule(port.get(), chargerKeys(), serial, skipSak);
  return result;
}

// Each card in front of the reader and the verdict the charger must reach:
// only the genuine card gives a token, and the clone of its serial number
// never gives the genuine card's.
TEST(DesfireSession, EachAttackCardGetsItsVerdict) {
  char logDir[] = "/tmp/rfid-desfire-log-XXXXXX";
  ASSERT_NE(::mkdtemp(logDir), nullptr);
  // Only the module's public face: this program links the module as a host
  // does, so the quiet wait keeps each exchange short.
  ASSERT_EQ(rfidSetLogDirectory(logDir), 0);
  ASSERT_EQ(rfidSetReplyWait(RFID_REPLY_WAIT_QUIET, 20), 0);
  const std::pair<DesfireKind, ReadVerdict> cases[] = {
      {DesfireKind::kGenuine, ReadVerdict::kValid},
      {DesfireKind::kFactory, ReadVerdict::kNoApp},
      {DesfireKind::kSerialClone, ReadVerdict::kNoApp},
      {DesfireKind::kOtherFleet, ReadVerdict::kAuth},
      {DesfireKind::kReplaying, ReadVerdict::kAuth},
      {DesfireKind::kRandomId, ReadVerdict::kRandomId},
      {DesfireKind::kEv1, ReadVerdict::kVersion},
      {DesfireKind::kFlippedBit, ReadVerdict::kMac},
  };
  for (const bool skipSak : {false, true}) {
    for (const auto& [kind, verdict] : cases) {
      SCOPED_TRACE(std::string(desfireKindName(kind)) + (skipSak ? " without GetSAK" : ""));
      Simulator simulator(Model::kElatec, Card::desfire(desfireCard(kind)));
      const Tap result = tap(simulator, skipSak);
      ASSERT_TRUE(result.found);
      EXPECT_STREQ(rfid_desfire::readVerdictName(result.read.verdict),
                   rfid_desfire::readVerdictName(verdict));
      EXPECT_EQ(result.read.tokenId,
                verdict == ReadVerdict::kValid ? kExampleTokenId : rfid_desfire::TokenId{});
    }
  }
  // A Classic card answers GetSAK with 08 and takes no TDX.
  Simulator classic(Model::kElatec, Card::demo());
  EXPECT_EQ(tap(classic).read.verdict, ReadVerdict::kNotDesfire);
  (void)rfidSetReplyWait(RFID_REPLY_WAIT_FIXED, 20);
  std::filesystem::remove_all(logDir);
}

}  // namespace
}  // namespace rfid_sim
