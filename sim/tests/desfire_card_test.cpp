// The simulated DESFire card on its own: a factory card's answers, the
// status codes of refused commands, and the authenticated state that a
// failed authentication or a wrong MAC ends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rfid_desfire/fleet.h"
#include "rfid_desfire/provision.h"
#include "rfid_hex/hex.h"
#include "rfid_sim/desfire_file.h"
#include "rfid_sim/desfire_fixtures.h"

namespace rfid_sim {
namespace {

namespace cmd = rfid_desfire::cmd;
using rfid_desfire::CardReply;
using rfid_desfire::wrap;

CardReply send(DesfireCard& card, std::uint8_t command, const DesfireBytes& data = {}) {
  const DesfireBytes raw = card.transceive(wrap(command, data));
  return rfid_desfire::unwrap(raw.data(), raw.size()).value();
}

std::uint8_t statusOf(DesfireCard& card, std::uint8_t command, const DesfireBytes& data = {}) {
  return send(card, command, data).status;
}

bool fixedRandom(rfid_desfire::Random& out) {
  for (std::size_t i = 0; i < out.size(); ++i) out.data()[i] = static_cast<std::uint8_t>(i);
  return true;
}

// Runs AuthenticateEV2First with `key` against the card.
bool authenticate(DesfireCard& card, std::uint8_t keyNo, const AesKey& key,
                  rfid_desfire::Session& session) {
  rfid_desfire::Random rndA;
  fixedRandom(rndA);
  rfid_desfire::HostAuthentication host(true, keyNo, key, rndA);
  const DesfireBytes first = card.transceive(host.firstCommand());
  const auto challenge = rfid_desfire::unwrap(first.data(), first.size());
  const auto second = challenge ? host.secondCommand(*challenge) : std::nullopt;
  if (!second) return false;
  const DesfireBytes answer = card.transceive(*second);
  const auto reply = rfid_desfire::unwrap(answer.data(), answer.size());
  return reply && host.finish(*reply, session);
}

TEST(DesfireCard, FactoryCardAnswersAsShipped) {
  DesfireCard card = desfireCard(DesfireKind::kFactory);
  CardReply version = send(card, cmd::kGetVersion);
  EXPECT_EQ(version.status, 0xAF);
  EXPECT_EQ(version.data.at(3), kDesfireEv3);
  EXPECT_EQ(statusOf(card, cmd::kMore), 0xAF);
  version = send(card, cmd::kMore);
  EXPECT_EQ(version.status, 0x00);
  EXPECT_EQ(DesfireBytes(version.data.begin(), version.data.begin() + 7), exampleSerial());
  const CardReply settings = send(card, cmd::kGetKeySettings);
  EXPECT_EQ(rfid_hex::toHex(settings.data), "0F01");
  const CardReply ids = send(card, cmd::kGetApplicationIds);
  EXPECT_EQ(ids.status, 0x00);
  EXPECT_TRUE(ids.data.empty());
  rfid_desfire::Session session;
  EXPECT_TRUE(authenticate(card, 0, AesKey{}, session)) << "the default PICC key";
  EXPECT_EQ(statusOf(card, cmd::kSelectApplication, {0x56, 0x45, 0xF5}), 0xA0);
}

// Every refusal has its status, and one that ends a session ends it.
TEST(DesfireCard, RefusalsHaveTheirStatusCodes) {
  DesfireCard card = desfireCard(DesfireKind::kGenuine);
  const DesfireBytes aid = {0x56, 0x45, 0xF5};
  const struct {
    std::uint8_t command;
    DesfireBytes data;
    std::uint8_t status;
  } cases[] = {
      {0x99, {}, 0x1C},
      {cmd::kMore, {}, 0x1C},
      {cmd::kSelectApplication, {0x56, 0x45}, 0x7E},
      {cmd::kSelectApplication, {0x01, 0x02, 0x03}, 0xA0},
      {cmd::kCreateApplication, {0x56, 0x45, 0xF5, 0x09, 0x82}, 0xDE},
      {cmd::kSelectApplication, aid, 0x00},
      {cmd::kAuthenticateFirst, {0x05, 0x00}, 0x40},
      {cmd::kAuthenticateNonFirst, {0x01}, 0xAE},
      {cmd::kReadData, {0x01, 0, 0, 0, 0x20, 0, 0}, 0xAE},
      {cmd::kReadData, {0x02, 0, 0, 0, 0x20, 0, 0}, 0xF0},
      {cmd::kGetCardUid, {}, 0xAE},
      {cmd::kCreateStdDataFile, {0x02, 0x00, 0xEE, 0xEE, 0x10, 0, 0}, 0xAE},
      {cmd::kGetKeySettings, {}, 0xAE},
      {cmd::kGetApplicationIds, {}, 0x9D},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(statusOf(card, c.command, c.data), c.status)
        << rfid_hex::toHex(wrap(c.command, c.data));
  }
  EXPECT_EQ(card.transceive({0x00, 0xA4, 0x04, 0x00}), rfid_desfire::wrapReply(0x7E));

  // Authenticated with key 1: the file reads in Full mode; beyond its end is
  // a boundary error; a wrong MAC is an integrity error and ends the session.
  const auto key1 = rfid_desfire::applicationKey(exampleFleet().readKey, 1, exampleSerial(),
                                                 rfid_desfire::kDefaultAid, "EVTOKEN-KEYS-V01");
  rfid_desfire::Session session;
  ASSERT_TRUE(authenticate(card, 1, *key1, session));
  auto field = session.protectCommand(cmd::kReadData, {0x01, 0x10, 0, 0, 0x20, 0, 0}, {},
                                      rfid_desfire::CommMode::kFull);
  EXPECT_EQ(statusOf(card, cmd::kReadData, *field), 0xBE);
  ASSERT_TRUE(authenticate(card, 1, *key1, session));
  field = session.protectCommand(cmd::kReadData, {0x01, 0, 0, 0, 0x20, 0, 0}, {},
                                 rfid_desfire::CommMode::kFull);
  (*field)[8] ^= 0x01;  // one MAC bit
  EXPECT_EQ(statusOf(card, cmd::kReadData, *field), 0x1E);
  EXPECT_EQ(statusOf(card, cmd::kGetCardUid), 0xAE) << "the session is gone";
  // A failed authentication ends the session too.
  ASSERT_TRUE(authenticate(card, 1, *key1, session));
  EXPECT_FALSE(authenticate(card, 1, AesKey{}, session));
  EXPECT_EQ(statusOf(card, cmd::kGetCardUid), 0xAE);
  // Key 1 may not write the file; the EV1 card knows no EV2 authentication.
  ASSERT_TRUE(authenticate(card, 1, *key1, session));
  field = session.protectCommand(cmd::kWriteData, {0x01, 0, 0, 0, 0x01, 0, 0}, {0x02},
                                 rfid_desfire::CommMode::kFull);
  EXPECT_EQ(statusOf(card, cmd::kWriteData, *field), 0x9D);
  DesfireCard ev1 = desfireCard(DesfireKind::kEv1);
  EXPECT_EQ(statusOf(ev1, cmd::kAuthenticateFirst, {0x00, 0x00}), 0x1C);
}

// Two cards seeded alike answer alike; another seed gives other numbers.
TEST(DesfireCard, RandomNumbersFollowTheSeed) {
  DesfireCard a = DesfireCard::factory(exampleSerial(), kDesfireEv3, 7);
  DesfireCard b = DesfireCard::factory(exampleSerial(), kDesfireEv3, 7);
  DesfireCard c = DesfireCard::factory(exampleSerial(), kDesfireEv3, 8);
  const DesfireBytes request = wrap(cmd::kAuthenticateFirst, {0x00, 0x00});
  const DesfireBytes fromA = a.transceive(request);
  EXPECT_EQ(fromA, b.transceive(request));
  EXPECT_NE(fromA, c.transceive(request));
}

}  // namespace
}  // namespace rfid_sim

namespace rfid_sim {
namespace {

rfid_desfire::BenchKeys benchKeys() {
  const DesfireFleet fleet = exampleFleet();
  rfid_desfire::BenchKeys keys;
  keys.reader.aid = fleet.aid;
  keys.reader.readKey = fleet.readKey;
  keys.reader.systemId = fleet.systemId;
  keys.masterKey = fleet.masterKey;
  return keys;
}

// Provisioning a factory card gives the genuine card's keys and file; a run
// cut off after any exchange is finished by the next run; unprovisioning
// takes the application off again.
TEST(DesfireProvision, FactoryCardBecomesTheGenuineCardFromAnyStoppingPoint) {
  const DesfireCard genuine = desfireCard(DesfireKind::kGenuine);
  int exchanges = 0;
  {
    DesfireCard card = desfireCard(DesfireKind::kFactory);
    const rfid_desfire::Transceive counting = [&](const DesfireBytes& apdu) {
      ++exchanges;
      return std::optional<DesfireBytes>(card.transceive(apdu));
    };
    const auto result = rfid_desfire::provisionFleetCard(benchKeys(), exampleSerial(),
                                                         kExampleTokenId, counting, fixedRandom);
    ASSERT_TRUE(result.ok) << result.fault;
    EXPECT_EQ(card.applications().at(rfid_desfire::kDefaultAid).keys[0].key,
              genuine.applications().at(rfid_desfire::kDefaultAid).keys[0].key);
    EXPECT_EQ(card.applications().at(rfid_desfire::kDefaultAid).files.at(1).data,
              genuine.applications().at(rfid_desfire::kDefaultAid).files.at(1).data);
  }
  for (int stopAfter = 1; stopAfter < exchanges; ++stopAfter) {
    SCOPED_TRACE(stopAfter);
    DesfireCard card = desfireCard(DesfireKind::kFactory);
    int sent = 0;
    const rfid_desfire::Transceive cut =
        [&](const DesfireBytes& apdu) -> std::optional<DesfireBytes> {
      if (++sent > stopAfter) return std::nullopt;
      return card.transceive(apdu);
    };
    EXPECT_FALSE(rfid_desfire::provisionFleetCard(benchKeys(), exampleSerial(), kExampleTokenId,
                                                  cut, fixedRandom)
                     .ok);
    card.enterField();
    const rfid_desfire::Transceive whole = [&](const DesfireBytes& apdu) {
      return std::optional<DesfireBytes>(card.transceive(apdu));
    };
    const auto again = rfid_desfire::provisionFleetCard(benchKeys(), exampleSerial(),
                                                        kExampleTokenId, whole, fixedRandom);
    EXPECT_TRUE(again.ok) << again.fault;
  }
  DesfireCard card = genuine;
  const rfid_desfire::Transceive whole = [&](const DesfireBytes& apdu) {
    return std::optional<DesfireBytes>(card.transceive(apdu));
  };
  EXPECT_TRUE(
      rfid_desfire::unprovisionFleetCard(benchKeys(), exampleSerial(), whole, fixedRandom).ok);
  EXPECT_TRUE(card.applications().empty());
}

// Cards the bench must not write: PICC settings that forbid free creation
// (refused before anything is written), another fleet's application, an
// EV1 card.
TEST(DesfireProvision, CardsItMustNotWriteAreRefusedWithAReason) {
  DesfireCard locked = desfireCard(DesfireKind::kFactory);
  locked.setPicc(0x0B, DesfireKey{});
  DesfireCard other = desfireCard(DesfireKind::kOtherFleet);
  DesfireCard ev1 = desfireCard(DesfireKind::kEv1);
  const std::pair<DesfireCard*, const char*> cases[] = {
      {&locked, "PICC key settings 0B forbid creating"},
      {&other, "under other keys"},
      {&ev1, "an EV1 card"},
  };
  for (const auto& [card, reason] : cases) {
    const unsigned long before = card->changeCount();
    const rfid_desfire::Transceive link = [card = card](const DesfireBytes& apdu) {
      return std::optional<DesfireBytes>(card->transceive(apdu));
    };
    const auto result = rfid_desfire::provisionFleetCard(benchKeys(), exampleSerial(),
                                                         kExampleTokenId, link, fixedRandom);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.fault.find(reason), std::string::npos) << result.fault;
    EXPECT_EQ(card->changeCount(), before) << "nothing written";
    EXPECT_FALSE(
        rfid_desfire::planProvisioning(benchKeys(), exampleSerial(), link, fixedRandom).ok);
  }
}

}  // namespace
}  // namespace rfid_sim

namespace rfid_sim {
namespace {

// A card file gives back the card it was written from; a malformed one is
// refused with the JSON key named; keys in a file others may read, refused.
TEST(DesfireFile, RoundTripFaultsAndPrivateKeys) {
  const DesfireCard genuine = desfireCard(DesfireKind::kGenuine);
  std::string warning, error;
  const auto back = parseDesfireJson(desfireJson(genuine, true), warning, error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(desfireJson(*back, true), desfireJson(genuine, true));
  EXPECT_EQ(desfireJson(genuine, false).find("\"Key\""), std::string::npos);
  ASSERT_TRUE(parseDesfireJson(desfireJson(genuine, false), warning, error));
  EXPECT_NE(warning.find("default key"), std::string::npos);

  const std::pair<const char*, const char*> faults[] = {
      {"{", "not valid JSON"},
      {R"({"Type":"DESFire"})", "Serial is missing"},
      {R"({"Type":"DESFire","Serial":"0478"})", "Serial must be 14 hex digits"},
      {R"({"Type":"DESFire","Serial":"04782E21801D80","Version":"EV4"})", "Version must be"},
      {R"({"Type":"DESFire","Serial":"04782E21801D80","Applications":[{"AID":"000000"}]})",
       "Applications[0].AID must not be 000000"},
      {R"({"Type":"DESFire","Serial":"04782E21801D80","Applications":[{"AID":"F54556",)"
       R"("KeySettings":"09","Keys":[]}]})",
       "Applications[0].Keys must be a list of 1 to 14 keys"},
      {R"({"Type":"DESFire","Serial":"04782E21801D80","Applications":[{"AID":"F54556",)"
       R"("KeySettings":"09","Keys":[{"Key":"00"}]}]})",
       "Applications[0].Keys[0].Key must be 32 hex digits"},
  };
  for (const auto& [text, fault] : faults) {
    error.clear();
    EXPECT_FALSE(parseDesfireJson(text, warning, error)) << text;
    EXPECT_NE(error.find(fault), std::string::npos) << error;
  }

  char directory[] = "/tmp/rfid-desfire-file-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/card.json";
  ASSERT_TRUE(writeDesfireFile(path, genuine, error)) << error;
  EXPECT_TRUE(readDesfireFile(path, warning, error)) << error;
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_FALSE(readDesfireFile(path, warning, error));
  EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
  ::unlink(path.c_str());
  ::rmdir(directory);
}

}  // namespace
}  // namespace rfid_sim
