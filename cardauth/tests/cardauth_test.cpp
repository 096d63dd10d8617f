// The fleet card scheme against its published vectors (RFC 4493, NXP's
// AN10922 example, the short-input pitfall, the scheme's own rows), the
// attacks the token block must refuse, and the fleet key file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "rfid_cardauth/fleet_keys.h"
#include "rfid_cardauth/scheme.h"
#include "rfid_hex/hex.h"

namespace rfid_cardauth {
namespace {

std::vector<std::uint8_t> bytes(const std::string& hex) {
  return rfid_hex::fromHex(hex).value();
}

AesKey aesKey(const std::string& hex) {
  AesKey key;
  EXPECT_TRUE(rfid_hex::parseHex(hex, key.data(), key.size())) << hex;
  return key;
}

template <std::size_t N>
std::string hexOf(const Secret<N>& secret) {
  return rfid_hex::toHex(secret.data(), N);
}

const AesKey kKeyA = aesKey("000102030405060708090A0B0C0D0E0F");
const AesKey kKeyB = aesKey("101112131415161718191A1B1C1D1E1F");
const AesKey kMacKey = aesKey("202122232425262728292A2B2C2D2E2F");
const TokenId kTokenId = {0x00, 0x00, 0x07, 0x5B, 0xCD, 0x15};

MacKeys macKeys() {
  MacKeys keys;
  keys[1] = kMacKey;
  return keys;
}

TEST(SchemeTest, CmacGivesTheRfc4493Vectors) {
  const AesKey key = aesKey("2B7E151628AED2A6ABF7158809CF4F3C");
  const std::pair<const char*, const char*> vectors[] = {
      {"", "BB1D6929E95937287FA37D129B756746"},
      {"6BC1BEE22E409F96E93D7E117393172A", "070A16B46B4D4144F79BDD9DD04A287C"},
  };
  for (const auto& [message, expected] : vectors) {
    const std::vector<std::uint8_t> input = bytes(message);
    Mac128 mac{};
    ASSERT_TRUE(cmac(key, input.data(), input.size(), mac));
    EXPECT_EQ(rfid_hex::toHex(mac), expected) << message;
  }
}

TEST(SchemeTest, DiversificationGivesTheAn10922VectorsAndNotPlainCmacOfShortInput) {
  const struct {
    const char* master;
    const char* input;
    const char* derived;
  } vectors[] = {
      // NXP's example: UID, AID 3042F5, system id "NXP Abu".
      {"00112233445566778899AABBCCDDEEFF", "04782E21801D803042F54E585020416275",
       "A8DD63A3B89D54B37CA802473FDA9175"},
      // Short input: padded to two blocks, not one.
      {"F3F9377698707B688EAF84ABE39E3791", "04DEADBEEFFEED", "0BB408BAFF98B6EE9F2E1585777F6A51"},
  };
  for (const auto& vector : vectors) {
    const std::vector<std::uint8_t> input = bytes(vector.input);
    AesKey derived;
    ASSERT_TRUE(diversify(aesKey(vector.master), input.data(), input.size(), derived));
    EXPECT_EQ(hexOf(derived), vector.derived) << vector.input;
  }
  const std::vector<std::uint8_t> plain = bytes("0104DEADBEEFFEED");
  Mac128 mac{};
  ASSERT_TRUE(cmac(aesKey("F3F9377698707B688EAF84ABE39E3791"), plain.data(), plain.size(), mac));
  EXPECT_EQ(rfid_hex::toHex(mac), "721E2C01E81AF85D815633969CEA2607") << "the pitfall's key";

  AesKey untouched = kKeyA;
  const std::vector<std::uint8_t> tooLong(kMaxDiversificationInput + 1, 0x11);
  EXPECT_FALSE(diversify(kKeyB, tooLong.data(), tooLong.size(), untouched));
  EXPECT_FALSE(diversify(kKeyB, tooLong.data(), 0, untouched));
  EXPECT_EQ(untouched, kKeyA);
}

TEST(SchemeTest, TheSchemeGivesItsVectorsForFourAndSevenByteSerials) {
  const struct {
    const char* uid;
    const char* keyA;
    const char* keyB;
    const char* block;
  } rows[] = {
      {"1A2B3C4D", "D03CA049EA28", "C7D33F8C1A1D", "01010000075BCD158A55ED714F700282"},
      {"04782E21801D80", "C387983F2069", "36A469DC71D8", "01010000075BCD15E84F583A36A59152"},
  };
  for (const auto& row : rows) {
    const Uid uid = bytes(row.uid);
    const auto keyA = sectorKey(kKeyA, KeyKind::kA, uid, kTokenSector, kDefaultSystemId);
    const auto keyB = sectorKey(kKeyB, KeyKind::kB, uid, kTokenSector, kDefaultSystemId);
    ASSERT_TRUE(keyA && keyB) << row.uid;
    EXPECT_EQ(hexOf(*keyA), row.keyA) << row.uid;
    EXPECT_EQ(hexOf(*keyB), row.keyB) << row.uid;
    const auto block = encodeTokenBlock(kMacKey, 1, kTokenId, uid);
    ASSERT_TRUE(block);
    EXPECT_EQ(rfid_hex::toHex(*block), row.block) << row.uid;

    const Verification valid = verifyTokenBlock(*block, uid, macKeys());
    EXPECT_EQ(valid.verdict, Verdict::kValid) << row.uid;
    EXPECT_EQ(valid.keyId, 1);
    EXPECT_EQ(valid.tokenId, kTokenId);
  }
}

TEST(SchemeTest, SectorKeysDifferPerSectorKindAndSystemIdAndRefuseBadInput) {
  const Uid uid = bytes("1A2B3C4D");
  const auto base = sectorKey(kKeyA, KeyKind::kA, uid, 1, kDefaultSystemId);
  ASSERT_TRUE(base);
  EXPECT_NE(*sectorKey(kKeyA, KeyKind::kA, uid, 2, kDefaultSystemId), *base);
  EXPECT_NE(*sectorKey(kKeyA, KeyKind::kB, uid, 1, kDefaultSystemId), *base);
  EXPECT_NE(*sectorKey(kKeyA, KeyKind::kA, uid, 1, "EVTOKEN-KEYS-V02"), *base);
  EXPECT_FALSE(sectorKey(kKeyA, KeyKind::kA, uid, 16, kDefaultSystemId));
  EXPECT_FALSE(sectorKey(kKeyA, KeyKind::kA, uid, -1, kDefaultSystemId));
  EXPECT_FALSE(sectorKey(kKeyA, KeyKind::kA, bytes("1A2B3C"), 1, kDefaultSystemId));
  EXPECT_FALSE(sectorKey(kKeyA, KeyKind::kA, uid, 1, "TOO-SHORT"));
  EXPECT_FALSE(sectorKey(kKeyA, KeyKind::kA, uid, 1, "SEVENTEEN-CHARS-X"));
  EXPECT_FALSE(encodeTokenBlock(kMacKey, 0, kTokenId, uid)) << "key id 0 names no key";
}

TEST(SchemeTest, TheTokenBlockRefusesEveryAttack) {
  const Uid uid = bytes("1A2B3C4D");
  const Block genuine = *encodeTokenBlock(kMacKey, 1, kTokenId, uid);

  // Every single flipped bit: the layout byte, the key id or the MAC says so.
  for (std::size_t bit = 0; bit < 8 * kBlockSize; ++bit) {
    Block flipped = genuine;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
    const Verdict expected = bit < 8    ? Verdict::kLayout
                             : bit < 16 ? Verdict::kKeyId
                                        : Verdict::kMac;
    EXPECT_EQ(verifyTokenBlock(flipped, uid, macKeys()).verdict, expected) << "bit " << bit;
  }

  MacKeys otherIdOnly;
  otherIdOnly[2] = kMacKey;
  EXPECT_EQ(verifyTokenBlock(genuine, uid, otherIdOnly).verdict, Verdict::kKeyId);
  MacKeys wrongKey;
  wrongKey[1] = kKeyA;
  EXPECT_EQ(verifyTokenBlock(genuine, uid, wrongKey).verdict, Verdict::kMac);
  EXPECT_EQ(verifyTokenBlock(genuine, bytes("1A2B3C4E"), macKeys()).verdict, Verdict::kMac)
      << "the same block on another card";
  EXPECT_EQ(verifyTokenBlock(genuine, bytes("1A2B3C4D000000"), macKeys()).verdict, Verdict::kMac);
  EXPECT_EQ(verifyTokenBlock(Block{}, uid, macKeys()).verdict, Verdict::kLayout)
      << "a factory card's zero block";
}

const char* const kFleetFile =
    "system_id = \"FLEET-DEPOT-0001\"\n"
    "key_a = \"000102030405060708090a0b0c0d0e0f\"\n"
    "key_b = \"101112131415161718191A1B1C1D1E1F\"   # bench only\n"
    "[mac]\n"
    "1 = \"202122232425262728292A2B2C2D2E2F\"\n"
    "255 = \"303132333435363738393A3B3C3D3E3F\"\n";

TEST(FleetKeysTest, ParsesTheFileAndRefusesFaultsByKeyNameNeverByValue) {
  FleetKeys keys;
  ASSERT_EQ(parseFleetKeys(kFleetFile, keys), std::nullopt);
  EXPECT_EQ(keys.systemId, "FLEET-DEPOT-0001");
  EXPECT_EQ(keys.keyA, kKeyA);
  ASSERT_TRUE(keys.keyB);
  EXPECT_EQ(*keys.keyB, kKeyB);
  ASSERT_EQ(keys.macKeys.size(), 2u);
  EXPECT_EQ(keys.macKeys.at(1), kMacKey);
  EXPECT_EQ(hexOf(keys.macKeys.at(255)), "303132333435363738393A3B3C3D3E3F");

  FleetKeys charger;
  ASSERT_EQ(parseFleetKeys("key_a = \"000102030405060708090A0B0C0D0E0F\"\n[mac]\n"
                           "7 = \"202122232425262728292A2B2C2D2E2F\"\n",
                           charger),
            std::nullopt);
  EXPECT_EQ(charger.systemId, kDefaultSystemId);
  EXPECT_FALSE(charger.keyB);

  const std::string mac = "\n[mac]\n1 = \"202122232425262728292A2B2C2D2E2F\"\n";
  const std::string keyA = "key_a = \"000102030405060708090A0B0C0D0E0F\"\n";
  const std::pair<std::string, const char*> faults[] = {
      {mac, "key_a is missing"},
      {keyA, "[mac] is missing"},
      {keyA + "[mac]\n", "[mac] holds no key"},
      {"key_a = \"000102030405060708090A0B0C0D0E\"" + mac, "key_a must be 32 hex digits"},
      {"key_a = \"000102030405060708090A0B0C0D0E0G\"" + mac, "key_a must be 32 hex digits"},
      {"key_a = 0x000102030405060708090A0B0C0D0E0F" + mac, "line 1"},
      {keyA + "key_b = \"101112131415161718191A1B1C1D1E\"" + mac, "key_b must be 32 hex digits"},
      {keyA + "[mac]\n0 = \"202122232425262728292A2B2C2D2E2F\"\n",
       "line 3: a name in [mac] is not a key id 1 to 255"},
      {keyA + "[mac]\n256 = \"202122232425262728292A2B2C2D2E2F\"\n",
       "line 3: a name in [mac] is not a key id"},
      {keyA + "[mac]\n2 = \"202122232425262728292A2B2C2D2E\"\n", "mac.2 must be 32 hex digits"},
      {keyA + "system_id = \"SHORT\"" + mac, "system_id must be 10 to 16"},
      {keyA + "key_c = \"101112131415161718191A1B1C1D1E1F\"" + mac,
       "line 2: unknown key (known: system_id"},
      {keyA + "key_a = \"101112131415161718191A1B1C1D1E1F\"" + mac, "line 2"},
  };
  const std::string desfire = keyA + "[desfire]\n";
  const std::string readKey = "read_key = \"404142434445464748494A4B4C4D4E4F\"\n";
  const std::pair<std::string, const char*> desfireFaults[] = {
      {desfire + "aid = \"F54556\"" + mac, "[desfire] needs read_key"},
      {desfire + readKey + "aid = \"F5455\"" + mac, "desfire.aid must be 6 hex digits"},
      {desfire + readKey + "aid = \"000000\"" + mac, "not 000000"},
      {desfire + readKey + "aid = 0xF54556" + mac, "desfire.aid must be"},
      {desfire + "read_key = \"4041424344454647\"" + mac, "desfire.read_key must be 32 hex"},
      {desfire + readKey + "master_key = \"30313233\"" + mac, "desfire.master_key must be 32"},
      {desfire + readKey + "key_c = 1" + mac, "line 4: unknown key in [desfire]"},
      {keyA + "desfire = 1" + mac, "desfire must be a table"},
  };
  for (const auto& [text, fault] : desfireFaults) {
    FleetKeys untouched = charger;
    const auto refused = parseFleetKeys(text, untouched);
    ASSERT_TRUE(refused) << text;
    EXPECT_NE(refused->find(fault), std::string::npos) << *refused;
    EXPECT_EQ(refused->find("4041424344"), std::string::npos) << *refused;
    EXPECT_FALSE(untouched.desfire);
  }
  for (const auto& [text, fault] : faults) {
    FleetKeys untouched = charger;
    const auto refused = parseFleetKeys(text, untouched);
    ASSERT_TRUE(refused) << text;
    EXPECT_NE(refused->find(fault), std::string::npos) << *refused;
    for (const char* value : {"0102030405", "1112131415", "2122232425", "0C0D0E"}) {
      EXPECT_EQ(refused->find(value), std::string::npos) << "a key value in: " << *refused;
    }
    EXPECT_EQ(untouched.macKeys.count(7), 1u) << "a refused file changes nothing";
  }
}

// A key value written as a name, in any spelling: the fault names the line
// and never quotes the name, nor any part of it.
TEST(FleetKeysTest, NoFaultQuotesANameReadFromTheFile) {
  const std::string names[] = {
      "00-01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F",
      "20_21_22_23_24_25_26_27_28_29_2A_2B_2C_2D_2E_2F",
      "\"20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f\"",
      "2021222324252627_28292a2b2c2d2e2f",
      "\"ICEiIyQlJicoKSorLC0uLw==\"",
      "ICEiIyQlJicoKSorLC0uLw",
  };
  const std::string keyA = "key_a = \"000102030405060708090A0B0C0D0E0F\"\n";
  const std::string mac = "[mac]\n1 = \"202122232425262728292A2B2C2D2E2F\"\n";
  for (const std::string& name : names) {
    const std::pair<std::string, const char*> files[] = {
        {keyA + name + " = 1\n" + mac, "line 2: unknown key"},
        {keyA + mac + name + " = \"202122232425262728292A2B2C2D2E2F\"\n",
         "line 4: a name in [mac] is not a key id"},
        {keyA + mac + name + "\n", "line 4, column "},
        {keyA + "[" + name + "]\n" + mac, "line 2: unknown key"},
        {keyA + mac + "[desfire]\nread_key = \"404142434445464748494A4B4C4D4E4F\"\n" + name +
             " = 1\n",
         "unknown key in [desfire]"},
    };
    for (const auto& [text, fault] : files) {
      FleetKeys keys;
      const auto refused = parseFleetKeys(text, keys);
      ASSERT_TRUE(refused) << text;
      EXPECT_NE(refused->find(fault), std::string::npos) << *refused;
      for (std::size_t at = 0; at + 5 <= name.size(); ++at) {
        EXPECT_EQ(refused->find(name.substr(at, 5)), std::string::npos)
            << "part of the name in: " << *refused;
      }
    }
  }
}

// The [desfire] table: the AID as written (most significant first), the
// chargers' read key, and the bench's master key, which a charger refuses
// as it refuses key_b.
TEST(FleetKeysTest, TheDesfireTableAndTheKeysOnlyTheBenchHolds) {
  const std::string classic =
      "key_a = \"000102030405060708090A0B0C0D0E0F\"\n[mac]\n1 = "
      "\"202122232425262728292A2B2C2D2E2F\"\n";
  const std::string readKey = "read_key = \"404142434445464748494A4B4C4D4E4F\"\n";
  const std::string masterKey = "master_key = \"303132333435363738393A3B3C3D3E3F\"\n";
  const struct {
    std::string text;
    std::uint32_t aid;
    bool master;
    const char* benchOnly;
  } files[] = {
      {classic + "[desfire]\n" + readKey, 0xF54556, false, nullptr},
      {classic + "[desfire]\naid = \"a1b2c3\"\n" + readKey + masterKey, 0xA1B2C3, true,
       "desfire.master_key"},
      {"key_b = \"101112131415161718191A1B1C1D1E1F\"\n" + classic + "[desfire]\n" + readKey +
           masterKey,
       0xF54556, true, "key_b"},
  };
  for (const auto& file : files) {
    FleetKeys keys;
    ASSERT_EQ(parseFleetKeys(file.text, keys), std::nullopt) << file.text;
    ASSERT_TRUE(keys.desfire);
    EXPECT_EQ(keys.desfire->aid, file.aid);
    EXPECT_EQ(hexOf(keys.desfire->readKey), "404142434445464748494A4B4C4D4E4F");
    EXPECT_EQ(keys.desfire->masterKey.has_value(), file.master);
    EXPECT_STREQ(benchOnlyKey(keys), file.benchOnly);
  }
  FleetKeys classicOnly;
  ASSERT_EQ(parseFleetKeys(classic, classicOnly), std::nullopt);
  EXPECT_FALSE(classicOnly.desfire);
  EXPECT_EQ(benchOnlyKey(classicOnly), nullptr);
}

TEST(FleetKeysTest, ReadsOnlyPrivateFilesAndNamesThePath) {
  char directory[] = "/tmp/rfid-fleet-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/fleet.toml";
  std::ofstream(path) << kFleetFile;
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  FleetKeys keys;
  EXPECT_EQ(readFleetKeys(path, keys), std::nullopt);
  EXPECT_EQ(keys.macKeys.size(), 2u);

  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const auto shared = readFleetKeys(path, keys);
  ASSERT_TRUE(shared);
  EXPECT_NE(shared->find("chmod 600 " + path), std::string::npos) << *shared;

  std::ofstream(path) << "key_a = \"00\"\n";
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  const auto malformed = readFleetKeys(path, keys);
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->rfind("fleet key file " + path + ": key_a", 0), 0u) << *malformed;
  EXPECT_TRUE(readFleetKeys(std::string(directory) + "/missing", keys));
  EXPECT_TRUE(readFleetKeys(directory, keys)) << "a directory";
  std::remove(path.c_str());

  // A FIFO is refused at once; an open that waited for a writer would hang
  // the child, which is then killed after 3 s.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const pid_t child = fork();
  if (child == 0) {
    const auto fault = readFleetKeys(path, keys);
    _exit(fault && fault->find("is not a regular file") != std::string::npos ? 0 : 1);
  }
  int status = -1;
  bool ended = false;
  for (int waited = 0; waited < 300 && !ended; ++waited) {
    ended = waitpid(child, &status, WNOHANG) == child;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::remove(path.c_str());
  rmdir(directory);
}

}  // namespace
}  // namespace rfid_cardauth
