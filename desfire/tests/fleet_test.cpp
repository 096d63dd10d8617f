// The DESFire fleet scheme's own vectors (the key table, the file content,
// the charger's whole read of the first card) and the read's verdict for
// each way a card or the line can fail it.
#include "rfid_desfire/fleet.h"

#include <deque>

#include "vectors.h"

namespace rfid_desfire::testing {
namespace {

const AesKey kMasterFleetKey = key("303132333435363738393A3B3C3D3E3F");
const AesKey kReadFleetKey = key("404142434445464748494A4B4C4D4E4F");
const TokenId kTokenId = {0x00, 0x00, 0x07, 0x5B, 0xCD, 0x15};
const Bytes kFirstCard = bytes("04782E21801D80");

TEST(FleetSchemeTest, KeyTableAndFileContent) {
  // Key 0 from K_DM, key 1 from K_DR, for two cards.
  const struct {
    const AesKey& fleetKey;
    std::uint8_t keyNo;
    const char* serial;
    const char* key;
  } rows[] = {
      {kMasterFleetKey, 0, "04782E21801D80", "F9D537DE256600C9352A7CA0F1366203"},
      {kReadFleetKey, 1, "04782E21801D80", "8ACDAF4F6F4C29346D29CA29DF5C6659"},
      {kMasterFleetKey, 0, "04A1B2C3D4E5F6", "6FF3D1389ADFFE1BAF2EAB6FB1CE1441"},
      {kReadFleetKey, 1, "04A1B2C3D4E5F6", "D27FD9448AF6CF914B9E5D5B62849745"},
  };
  for (const auto& row : rows) {
    const auto key = applicationKey(row.fleetKey, row.keyNo, bytes(row.serial), kDefaultAid,
                                    rfid_cardauth::kDefaultSystemId);
    ASSERT_TRUE(key) << row.serial;
    EXPECT_EQ(hexOf(*key), row.key);
  }
  EXPECT_EQ(hexOf(tokenFile(kTokenId)),
            "010000075BCD1500000000000000000000000000000000000000000000000000");
  EXPECT_EQ(hexOf(aidBytes(kDefaultAid)), "5645F5");
  EXPECT_FALSE(applicationKey(kReadFleetKey, 2, kFirstCard, kDefaultAid, "EVTOKEN-KEYS-V01"));
  EXPECT_FALSE(
      applicationKey(kReadFleetKey, 1, bytes("04782E21"), kDefaultAid, "EVTOKEN-KEYS-V01"));
  EXPECT_FALSE(applicationKey(kReadFleetKey, 1, kFirstCard, 0, "EVTOKEN-KEYS-V01"));
  EXPECT_FALSE(applicationKey(kReadFleetKey, 1, kFirstCard, kDefaultAid, "SHORT"));
}

// A card scripted command by command: each command must be the expected one.
// The reply "LOST" stands for none: the card or the reader went away.
class ScriptedCard {
 public:
  void expect(const std::string& command, const std::string& reply) {
    script_.emplace_back(bytes(command),
                         reply == "LOST" ? std::nullopt : std::optional<Bytes>(bytes(reply)));
  }
  std::optional<Bytes> operator()(const Bytes& apdu) {
    if (script_.empty()) {
      ADD_FAILURE() << "unexpected command " << rfid_hex::toHex(apdu);
      return std::nullopt;
    }
    auto [command, reply] = script_.front();
    script_.pop_front();
    EXPECT_EQ(rfid_hex::toHex(apdu), rfid_hex::toHex(command));
    return reply;
  }
  bool done() const { return script_.empty(); }

 private:
  std::deque<std::pair<Bytes, std::optional<Bytes>>> script_;
};

const char* kSelect = "905A0000035645F500";
const char* kAuth1 = "9071000002010000";
const char* kAuth1Reply = "C04F82C33CCA35D7DE9D7F98B5EDA84D91AF";
const char* kAuth2 = "90AF000020C9ADC3A037F9AB3B1C457DC4A73583F9A40753CC533CC15FA01DA43AAEC9056100";
const char* kAuth2Reply = "BC461237E28D153AFF56E4F43E3B7BCDA002CF3FEE57A863B5CB70356D0BD37A9100";
const char* kRead = "90AD00000F01000000200000C1E130E1B7EB402800";
const char* kReadReply =
    "12E25AC6DB09B30C309924F3B669A1779D4895F18FA5F2DE2306A885AFF30107284621717A4A7B031C4FA9FE22665F"
    "142DCEC457C4C6D7909100";

bool fixedRndA(Random& out) {
  for (std::size_t i = 0; i < out.size(); ++i) out.data()[i] = static_cast<std::uint8_t>(0xA0 + i);
  return true;
}

ReaderKeys charger() {
  ReaderKeys keys;
  keys.readKey = kReadFleetKey;
  return keys;
}

FleetRead run(ScriptedCard& card, const Bytes& serial = kFirstCard,
              std::optional<std::uint8_t> sak = 0x20) {
  return readFleetCard(charger(), serial, sak, std::ref(card), fixedRndA);
}

TEST(FleetReadTest, TheChargersWholeReadOfTheFirstCard) {
  ScriptedCard card;
  card.expect(kSelect, "9100");
  card.expect(kAuth1, kAuth1Reply);
  card.expect(kAuth2, kAuth2Reply);
  card.expect(kRead, kReadReply);
  const FleetRead read = run(card);
  EXPECT_EQ(read.verdict, ReadVerdict::kValid);
  EXPECT_EQ(read.tokenId, kTokenId);
  EXPECT_TRUE(card.done());
}

// Each reply the charger can get at each step, and the verdict it gives:
// nothing is read from a card that fails a check.
TEST(FleetReadTest, EveryRefusalHasItsReason) {
  std::string flippedRead = kReadReply;
  flippedRead[4] = flippedRead[4] == '0' ? '1' : '0';
  std::string flippedAuth = kAuth2Reply;
  flippedAuth[10] = flippedAuth[10] == '0' ? '1' : '0';
  const struct {
    const char* what;
    std::vector<std::pair<const char*, std::string>> script;
    ReadVerdict verdict;
  } cases[] = {
      {"no application", {{kSelect, "91A0"}}, ReadVerdict::kNoApp},
      {"not a DESFire reply", {{kSelect, "6A82"}}, ReadVerdict::kNotDesfire},
      {"lost at select", {{kSelect, "LOST"}}, ReadVerdict::kLost},
      {"EV1 card", {{kSelect, "9100"}, {kAuth1, "911C"}}, ReadVerdict::kVersion},
      {"no such key", {{kSelect, "9100"}, {kAuth1, "9140"}}, ReadVerdict::kAuth},
      {"short challenge", {{kSelect, "9100"}, {kAuth1, "C04F82C391AF"}}, ReadVerdict::kAuth},
      {"lost at authentication", {{kSelect, "9100"}, {kAuth1, "LOST"}}, ReadVerdict::kLost},
      {"other key",
       {{kSelect, "9100"}, {kAuth1, kAuth1Reply}, {kAuth2, "91AE"}},
       ReadVerdict::kAuth},
      {"wrong RndA",
       {{kSelect, "9100"}, {kAuth1, kAuth1Reply}, {kAuth2, flippedAuth}},
       ReadVerdict::kAuth},
      {"lost at the answer",
       {{kSelect, "9100"}, {kAuth1, kAuth1Reply}, {kAuth2, "LOST"}},
       ReadVerdict::kLost},
      {"flipped reply bit",
       {{kSelect, "9100"}, {kAuth1, kAuth1Reply}, {kAuth2, kAuth2Reply}, {kRead, flippedRead}},
       ReadVerdict::kMac},
      {"card saw a bad MAC",
       {{kSelect, "9100"}, {kAuth1, kAuth1Reply}, {kAuth2, kAuth2Reply}, {kRead, "911E"}},
       ReadVerdict::kMac},
      {"no file",
       {{kSelect, "9100"}, {kAuth1, kAuth1Reply}, {kAuth2, kAuth2Reply}, {kRead, "91F0"}},
       ReadVerdict::kLayout},
      {"lost at the read",
       {{kSelect, "9100"}, {kAuth1, kAuth1Reply}, {kAuth2, kAuth2Reply}, {kRead, "LOST"}},
       ReadVerdict::kLost},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedCard card;
    for (const auto& [command, reply] : c.script) card.expect(command, reply);
    const FleetRead read = run(card);
    EXPECT_EQ(readVerdictName(read.verdict), std::string(readVerdictName(c.verdict)));
    EXPECT_EQ(read.tokenId, TokenId{});
    EXPECT_TRUE(card.done());
  }
}

// Refused before any exchange: a Classic card's SAK, a 4-byte serial
// number, a Random ID card; without GetSAK a refused first exchange tells
// that the card is not one.
TEST(FleetReadTest, CardsThatAreNotFleetCardsAreRefusedWithoutAnExchange) {
  const struct {
    Bytes serial;
    std::optional<std::uint8_t> sak;
    ReadVerdict verdict;
  } cases[] = {
      {kFirstCard, 0x08, ReadVerdict::kNotDesfire},
      {kFirstCard, 0x18, ReadVerdict::kNotDesfire},
      {bytes("A1B2C3D4"), 0x20, ReadVerdict::kNotDesfire},
      {bytes("08B2C3D4"), 0x20, ReadVerdict::kRandomId},
      {bytes("08B2C3D4"), std::nullopt, ReadVerdict::kRandomId},
      {bytes("08B2C3D4"), 0x08, ReadVerdict::kNotDesfire},
      {bytes("0478"), 0x20, ReadVerdict::kNotDesfire},
  };
  for (const auto& c : cases) {
    ScriptedCard card;
    EXPECT_EQ(run(card, c.serial, c.sak).verdict, c.verdict) << rfid_hex::toHex(c.serial);
  }
  const Transceive refused = [](const Bytes&) { return std::optional<Bytes>(); };
  EXPECT_EQ(readFleetCard(charger(), kFirstCard, std::nullopt, refused, fixedRndA).verdict,
            ReadVerdict::kNotDesfire);
  const Transceive noRandom = [](const Bytes&) { return std::optional<Bytes>(bytes("9100")); };
  EXPECT_EQ(
      readFleetCard(charger(), kFirstCard, 0x20, noRandom, [](Random&) { return false; }).verdict,
      ReadVerdict::kAuth);
  EXPECT_EQ(std::string(readVerdictName(ReadVerdict::kNotDesfire)), "not-desfire");
}

}  // namespace
}  // namespace rfid_desfire::testing
