// The service's parts without I/O: tokens, debouncing, configuration and the
// texts it exchanges with the charging stack.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "debouncer.h"
#include "payloads.h"
#include "recent_tokens.h"
#include "settings.h"
#include "token.h"

namespace rfid_tokend {
namespace {

using std::chrono::milliseconds;

Bytes textBlock(const std::string& text) {
  Bytes block(16, 0);
  std::copy(text.begin(), text.end(), block.begin());
  return block;
}

TEST(Token, SerialNumbersInHex) {
  const struct {
    Bytes serial;
    bool reversed;
    const char* token;
  } cases[] = {
      {{0xA1, 0xB2, 0xC3, 0xD4}, false, "A1B2C3D4"},
      {{0xA1, 0xB2, 0xC3, 0xD4}, true, "D4C3B2A1"},
      {{0x04, 0x0A, 0xFF, 0x10, 0x20, 0x30, 0x01}, false, "040AFF10203001"},
      {{0x04, 0x0A, 0xFF, 0x10, 0x20, 0x30, 0x01}, true, "01302010FF0A04"},
      {{0x00, 0x00, 0x00, 0x01}, false, "00000001"},
  };
  for (const auto& c : cases) EXPECT_EQ(serialToken(c.serial, c.reversed), c.token);
}

TEST(Token, BlockData) {
  Bytes twoBlocks = textBlock("Demo charge card");
  const Bytes second = textBlock("ID 42");
  twoBlocks.insert(twoBlocks.end(), second.begin(), second.end());
  const struct {
    Bytes data;
    BlockFormat format;
    std::optional<std::string> token;
  } cases[] = {
      {textBlock("Demo charge card"), BlockFormat::kAscii, "Demo charge card"},
      {twoBlocks, BlockFormat::kAscii, "Demo charge cardID 42"},
      {textBlock("EMP-0042    "), BlockFormat::kAscii, "EMP-0042"},            // padding dropped
      {textBlock(" a b"), BlockFormat::kAscii, " a b"},                        // inner spaces kept
      {textBlock(""), BlockFormat::kAscii, std::nullopt},                      // nothing to show
      {textBlock("AB\x07"), BlockFormat::kAscii, std::nullopt},                // control byte
      {textBlock("AB\xC3\xA9"), BlockFormat::kAscii, std::nullopt},            // not ASCII
      {textBlock(std::string("A\0B", 3)), BlockFormat::kAscii, std::nullopt},  // NUL inside
      {textBlock("\x01\xAB"), BlockFormat::kHex, "01AB0000000000000000000000000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(blockToken(c.data, c.format), c.token);
}

// ---- Debouncer ----------------------------------------------------------------

struct Poll {
  int atMs;
  const char* card;  // null: no card
};

std::string runPolls(DebounceRule rule, const std::vector<Poll>& polls) {
  Debouncer debouncer(rule);
  std::string trace;
  const auto start = SteadyClock::now();
  for (const Poll& poll : polls) {
    std::optional<std::string> card;
    if (poll.card != nullptr) card = poll.card;
    for (const auto& event : debouncer.poll(card, start + milliseconds(poll.atMs))) {
      trace += (event.kind == Debouncer::Event::Kind::kArrived ? "+" : "-") + event.card + "@" +
               std::to_string(poll.atMs) + " ";
    }
  }
  return trace;
}

TEST(Debouncer, PublishesOnceAndAgainOnlyAfterAbsence) {
  const DebounceRule twoPolls{2, milliseconds(0)};
  const DebounceRule oneSecond{2, milliseconds(1000)};
  const struct {
    const char* name;
    DebounceRule rule;
    std::vector<Poll> polls;
    const char* trace;
  } cases[] = {
      {"resting card", twoPolls, {{0, "A"}, {500, "A"}, {1000, "A"}}, "+A@0 "},
      {"one missed poll", twoPolls, {{0, "A"}, {500, nullptr}, {1000, "A"}}, "+A@0 "},
      {"two missed polls",
       twoPolls,
       {{0, "A"}, {500, nullptr}, {1000, nullptr}, {1500, "A"}},
       "+A@0 -A@1000 +A@1500 "},
      {"another card at once", twoPolls, {{0, "A"}, {500, "B"}}, "+A@0 -A@500 +B@500 "},
      {"absence restarts",
       twoPolls,
       {{0, "A"}, {500, nullptr}, {1000, "A"}, {1500, nullptr}},
       "+A@0 "},
      {"timed: short absence",
       oneSecond,
       {{0, "A"}, {100, nullptr}, {200, nullptr}, {300, nullptr}, {1000, "A"}},
       "+A@0 "},
      {"timed: long absence, from the last sighting",
       oneSecond,
       {{0, "A"}, {500, nullptr}, {1000, nullptr}, {1500, nullptr}, {2000, "A"}},
       "+A@0 -A@1000 +A@2000 "},
      {"timed: polled seldom, gone at the second miss",
       oneSecond,
       {{0, "A"}, {1900, "A"}, {3800, nullptr}, {3870, nullptr}, {5000, "A"}},
       "+A@0 -A@3870 +A@5000 "},
      {"timed: polled seldom, one lost answer",
       oneSecond,
       {{0, "A"}, {1900, nullptr}, {1970, "A"}},
       "+A@0 "},
      {"nothing seen", twoPolls, {{0, nullptr}, {500, nullptr}}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(runPolls(c.rule, c.polls), c.trace) << c.name;
}

// ---- Configuration ------------------------------------------------------------

class ConfigTest : public ::testing::Test {
 protected:
  void TearDown() override { std::remove(path_.c_str()); }

  // Parses the flags, with `toml` as the --config file when not empty.
  ParseResult parse(std::vector<std::string> flags, const std::string& toml = "") {
    if (!toml.empty()) {
      std::ofstream(path_) << toml;
      flags.insert(flags.begin(), {"--config", path_});
    }
    std::vector<const char*> argv = {"rfid-tokend"};
    for (const std::string& flag : flags) argv.push_back(flag.c_str());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
  }

  std::string path_ = "/tmp/rfid_tokend_config_" + std::to_string(::getpid()) + ".toml";
};

TEST_F(ConfigTest, FaultsNameTheFlagOrKey) {
  const std::string reader = "[[reader]]\nmodel = \"elatec\"\npath = \"/dev/a\"\n";
  const struct {
    std::vector<std::string> flags;
    std::string toml;
    const char* fault;
  } cases[] = {
      {{"--reader", "nfc:/dev/a"}, "", "--reader \"nfc:/dev/a\": unknown model \"nfc\""},
      {{"--reader", "vor:"}, "", "--reader \"vor:\": missing path"},
      {{"--reader", "/dev/a"}, "", "expected MODEL:PATH"},
      {{}, "", "--reader: no reader"},
      {{"--reader", "vor:/a", "--mqtt", "h:12x"}, "", "port \"12x\" is not a number"},
      {{"--reader", "vor:/a", "--mqtt", "h:70000"}, "", "port \"70000\" is not a number"},
      {{"--reader", "vor:/a", "--mqtt", "h"}, "", "--module-id: missing"},
      {{"--reader", "vor:/a", "--mqtt", "h", "--module-id", "a/b"}, "", "not a topic level"},
      {{"--reader", "vor:/a", "--module-id", "m"}, "", "--mqtt: broker settings"},
      {{"--reader", "vor:/a", "--baud", "1234"}, "", "--reader vor:/a: baud: 1234 is not offered"},
      {{"--reader", "vor:/a", "--reader", "elatec:/a"},
       "",
       "--reader elatec:/a: path: the port /a is given twice"},
      {{"--reader", "vor:/a", "--debounce-polls", "3", "--debounce-ms", "900"}, "", "not both"},
      {{"--reader", "vor:/a", "--mqtt", "h", "--module-id", "m", "--mqtt-certfile", "c"},
       "",
       "needs TLS"},
      {{"--reader", "vor:/a", "--colour"}, "", "--colour"},
      {{}, "colour = 1\n" + reader, "colour: unknown key"},
      {{}, reader + "speed = 2\n", "reader[1].speed: unknown key"},
      {{}, "[mqtt]\nhots = \"h\"\n" + reader, "mqtt.hots: unknown key"},
      {{}, "[[reader]]\nmodel = \"nfc\"\npath = \"/a\"\n", "reader[1].model: unknown model"},
      {{}, "[[reader]]\nmodel = \"vor\"\n", "reader[1].path: missing"},
      {{}, reader + "baud = \"fast\"\n", "reader[1].baud: must be an integer"},
      {{}, reader + "connectors = [1, 0]\n", "0 is not a connector id"},
      {{},
       reader + "block = 4\nblock_count = 2\n",
       "reader[1].token: would be up to 64 characters, more than the 36"},
      {{}, reader + "token_prefix = \"charger-000000000000000\"\n", "up to 37 characters"},
      {{},
       reader + "block = 6\nblock_count = 3\n",
       "reader[1].block_count: blocks 6 to 8 are not in one sector"},
      {{}, reader + "block = 7\n", "reader[1].block: block 7 is a sector trailer"},
      {{}, reader + "block_format = \"hex\"\n", "reader[1].block: missing"},
      {{}, reader + "block = 4\nblock_format = \"base64\"\n", "unknown form \"base64\""},
      {{}, reader + "token_type = \"Card\"\n", "token_type: unknown type \"Card\""},
      {{}, "reader = 1\n", "reader: must be a list of tables"},
      {{}, "jsonl = tru\n", ":1:"},  // syntax: file, line and column
      {{"--reader", "vor:/a", "--reply-wait", "soon"}, "", "--reply-wait: \"soon\" is not"},
      {{"--reader", "vor:/a", "--quiet-ms", "101"}, "", "--quiet-ms: 101 is out of range"},
      {{"--reader", "vor:/a", "--min-poll-ms", "-1"}, "", "--min-poll-ms: -1 is out of range"},
      {{}, "reply_wait = \"soon\"\n" + reader, "reply_wait: \"soon\" is not fixed or quiet"},
      {{}, "quiet_ms = 0\n" + reader, "quiet_ms: 0 is out of range"},
      {{"--log-dir", std::string(237, 'd')}, reader, "is longer than 236 characters"},
      {{"--reader", "vor:/a", "--keepalive", "4"},
       "",
       "--keepalive: 4 is out of range (5 to 3600)"},
      {{},
       "[mqtt]\nheartbeat_timeout = 0.1\n" + reader,
       ": mqtt.heartbeat_timeout: 0.1 is out of range (0.5 to 3600)"},
      {{}, "quiet_ms = 1000000000000\n" + reader, "quiet_ms: 1000000000000 is out of range"},
      {{}, reader + "connectors = [2, 2]\n", "reader[1].connectors: connector 2 is given twice"},
      {{}, reader + "desfire_token = \"uid\"\n", "are settings of token = \"desfire\""},
  };
  for (const auto& c : cases) {
    const ParseResult result = parse(c.flags, c.toml);
    EXPECT_EQ(result.outcome, ParseResult::Outcome::kInvalid) << c.fault;
    EXPECT_NE(result.text.find(c.fault), std::string::npos) << result.text;
    EXPECT_EQ(result.text.find('\n'), std::string::npos) << result.text;
  }
}

TEST_F(ConfigTest, FlagsOverrideTheFileAndDefaultsFollowTheSettings) {
  const ParseResult result =
      parse({"--reader", "vor:/dev/b", "--baud", "19200", "--mqtt", "10.0.0.2", "--module-id",
             "rfid_1", "--consumer-id", "auth", "--reverse-bytes", "--debounce-ms", "1500"},
            "baud = 38400\ndebounce_polls = 4\n[mqtt]\nhost = \"broker\"\nmax_token_age = 4\n"
            "[[reader]]\nmodel = \"elatec\"\npath = \"/dev/a\"\nname = \"front\"\n"
            "connectors = [1, 2]\nblock = 4\nblock_format = \"ascii\"\nreverse_bytes = false\n");
  ASSERT_EQ(result.outcome, ParseResult::Outcome::kRun) << result.text;
  const Config& config = result.config;
  ASSERT_EQ(config.readers.size(), 2u);
  const ReaderConfig& front = config.readers[0];
  EXPECT_EQ(front.name, "front");
  EXPECT_EQ(front.baud, 19200);
  EXPECT_EQ(front.connectors, (std::vector<int>{1, 2}));
  EXPECT_EQ(front.tokenType, "Local");
  EXPECT_FALSE(*front.reverseBytes);
  const ReaderConfig& second = config.readers[1];
  EXPECT_EQ(second.name, "/dev/b");
  EXPECT_EQ(second.tokenType, "ISO14443");
  EXPECT_TRUE(*second.reverseBytes);
  EXPECT_EQ(config.debounceMs, 1500);
  EXPECT_TRUE(config.quietWait);  // the defaults
  EXPECT_EQ(config.quietMs * 1000 + config.minPollMs, 20050);
  EXPECT_EQ(config.mqtt.host, "10.0.0.2");
  EXPECT_EQ(config.mqtt.port, 1883);
  EXPECT_EQ(config.mqtt.maxTokenAgeSeconds, 4.0);
  EXPECT_EQ(config.mqtt.topicPrefix, "everest_api/1/auth_token_provider/rfid_1");
  EXPECT_EQ(config.mqtt.consumerPrefix, "everest_api/1/auth_consumer/auth");

  // Counted polls in the file replace the timed default; flags win over the file.
  const ParseResult polls =
      parse({"--reader", "vor:/a", "--reply-wait", "fixed", "--min-poll-ms", "0"},
            "debounce_polls = 3\nreply_wait = \"quiet\"\nquiet_ms = 7\n");
  ASSERT_EQ(polls.outcome, ParseResult::Outcome::kRun) << polls.text;
  EXPECT_EQ(polls.config.debounceMs * 100 + polls.config.debouncePolls, 3);
  EXPECT_FALSE(polls.config.quietWait);
  EXPECT_EQ(polls.config.quietMs * 1000 + polls.config.minPollMs, 7000);

  const ParseResult tlsPort = parse(
      {"--reader", "vor:/a", "--mqtt", "[::1]", "--module-id", "m", "--mqtt-cafile", "ca.pem"});
  ASSERT_EQ(tlsPort.outcome, ParseResult::Outcome::kRun) << tlsPort.text;
  EXPECT_EQ(tlsPort.config.mqtt.host, "::1");
  EXPECT_EQ(tlsPort.config.mqtt.port, 8883);
}

// Settings once reachable only from the file have flags now.
TEST_F(ConfigTest, KeepaliveAndRefusedSoundHaveFlags) {
  const std::string reader = "[[reader]]\nmodel = \"elatec\"\npath = \"/dev/a\"\n";
  const ParseResult quiet = parse({"--refused-sound", "false", "--keepalive", "30"}, reader);
  ASSERT_EQ(quiet.outcome, ParseResult::Outcome::kRun) << quiet.text;
  EXPECT_FALSE(*quiet.config.readers[0].refusedSound);
  EXPECT_EQ(quiet.config.mqtt.keepaliveSeconds, 30);
}

TEST(Settings, EachKeyAndFlagOnceEveryKeyWithAFlagOrAReasonAndDefaultsInRange) {
  std::set<std::string> flags;
  std::set<std::pair<std::size_t, std::string>> keys;
  const Config config;
  const ReaderConfig reader;
  for (const Setting& setting : kSettings) {
    if (setting.flag != nullptr) {
      EXPECT_TRUE(flags.insert(setting.flag).second) << setting.flag;
    }
    if (setting.key == nullptr) continue;
    EXPECT_TRUE(keys.insert({setting.access.index(), setting.key}).second) << setting.key;
    EXPECT_TRUE(setting.flag != nullptr || setting.noFlag != nullptr) << setting.key;
    const Value value = valueOf(setting, config, &reader);
    if (setting.shownDefault == nullptr && !std::holds_alternative<std::monostate>(value)) {
      EXPECT_EQ(checkValue(setting, value, setting.key), std::nullopt);
    }
  }
}

TEST_F(ConfigTest, TheWorkerTakesEachReadersSettingsAsTheServiceFinishedThem) {
  const ParseResult result =
      parse({"--reader", "vor:/dev/b", "--fleet-keys", "f.toml", "--reply-wait", "fixed"},
            "debounce_polls = 3\nquiet_ms = 7\nmin_poll_ms = 0\nlog_dir = \"/l\"\n"
            "[[reader]]\nmodel = \"elatec\"\npath = \"/dev/a\"\nname = \"front\"\n"
            "connectors = [2]\ntoken_prefix = \"M-\"\nblock = 4\nblock_format = "
            "\"ascii\"\nreverse_bytes = true\n"
            "[[reader]]\nmodel = \"elatec\"\npath = \"/dev/c\"\ntoken = \"desfire\"\n"
            "token_format = \"decimal\"\nfallback = \"fleet\"\ntoken_prefix = \"D-\"\n");
  ASSERT_EQ(result.outcome, ParseResult::Outcome::kRun) << result.text;
  for (std::size_t i = 0; i < result.config.readers.size(); ++i) {
    const ReaderConfig& sent = result.config.readers[i];
    const Config taken = decodeWorkerSettings(encodeWorkerSettings(result.config, i));
    const ReaderConfig& got = taken.readers.at(0);
    EXPECT_EQ(got.model, sent.model) << i;
    EXPECT_EQ(got.path + got.name + got.tokenType + got.tokenPrefix + got.fleetTokenType,
              sent.path + sent.name + sent.tokenType + sent.tokenPrefix + sent.fleetTokenType);
    EXPECT_EQ(got.baud, sent.baud);
    EXPECT_EQ(got.connectors, sent.connectors);
    EXPECT_EQ(got.reverseBytes, sent.reverseBytes);
    EXPECT_EQ(got.refusedSound, sent.refusedSound);
    EXPECT_EQ(got.token, sent.token) << i;
    EXPECT_EQ(got.tokenFormat, sent.tokenFormat);
    EXPECT_EQ(got.fallbackSerial, sent.fallbackSerial);
    EXPECT_EQ(got.fallbackFleet, sent.fallbackFleet);
    EXPECT_EQ(got.desfireToken, sent.desfireToken);
    EXPECT_EQ(got.blockSource.has_value(), sent.blockSource.has_value());
    if (sent.blockSource) {
      EXPECT_EQ(got.blockSource->block * 10 + got.blockSource->count, 41);
      EXPECT_EQ(got.blockSource->format, BlockFormat::kAscii);
    }
    EXPECT_EQ(taken.logDir, "/l");
    EXPECT_EQ(taken.debounceMs * 100 + taken.debouncePolls, 3);
    EXPECT_FALSE(taken.quietWait);
    EXPECT_EQ(taken.quietMs * 1000 + taken.minPollMs, 7000);
  }
  EXPECT_ANY_THROW(decodeWorkerSettings("{\"fleet_token_type\": \"Local\", \"baud\": \"fast\"}"));
  EXPECT_ANY_THROW(decodeWorkerSettings("{"));
}

// ---- Texts exchanged with the charging stack ------------------------------------

TEST(Payloads, ProvidedTokenAsTheStackReadsIt) {
  EXPECT_EQ(providedTokenPayload("A1B2C3D4", "ISO14443", {}),
            R"({"id_token":{"value":"A1B2C3D4","type":"ISO14443"},"authorization_type":"RFID"})");
  EXPECT_EQ(providedTokenPayload("EMP \"7\"", "Local", {1, 2}),
            R"({"id_token":{"value":"EMP \"7\"","type":"Local"},"authorization_type":"RFID",)"
            R"("connectors":[1,2]})");
}

TEST(Payloads, ValidationStatus) {
  const auto verdict = [](const std::string& status) {
    return R"({"token":{"id_token":{"value":"A1B2C3D4","type":"ISO14443"},)"
           R"("authorization_type":"RFID"},"status":")" +
           status + "\"}";
  };
  using Status = ValidationStatus::Status;
  const struct {
    std::string payload;
    std::optional<Status> status;
    const char* fault;
  } cases[] = {
      {verdict("Accepted"), Status::kAccepted, ""},
      {verdict("Rejected"), Status::kRejected, ""},
      {verdict("TimedOut"), Status::kTimedOut, ""},
      {verdict("Processing"), Status::kProcessing, ""},
      {verdict("Maybe"), std::nullopt, "status is not"},
      {"Accepted", std::nullopt, "not JSON"},
      {"[1,2]", std::nullopt, "not a JSON object"},
      {R"({"status":"Accepted"})", std::nullopt, "no token.id_token.value"},
      {R"({"token":{"value":"A1"},"status":"Accepted"})", std::nullopt, "no token.id_token.value"},
      {R"({"token":{"id_token":{"value":7}},"status":"Accepted"})", std::nullopt, "no token"},
      {std::string("{\"token\":\xff}"), std::nullopt, "not JSON"},
      // Nesting is refused before parsing; brackets inside strings do not count.
      {std::string(100000, '['), std::nullopt, "nested deeper than 16 levels"},
      {R"({"token":{"id_token":{"value":"A1B2C3D4"}},"note":"\"[[[[[[[[[[[[[[[[[[[[",)"
       R"("status":"Accepted"})",
       Status::kAccepted, ""},
  };
  for (const auto& c : cases) {
    std::string fault;
    const auto parsed = parseValidationStatus(c.payload, fault);
    ASSERT_EQ(parsed.has_value(), c.status.has_value()) << c.payload;
    if (parsed) {
      EXPECT_EQ(parsed->value, "A1B2C3D4");
      EXPECT_EQ(parsed->status, *c.status);
    } else {
      EXPECT_NE(fault.find(c.fault), std::string::npos) << fault;
    }
  }
}

TEST(Payloads, HeartbeatCounter) {
  const struct {
    const char* payload;
    std::optional<long long> value;
  } cases[] = {{"41", 41},
               {"0", 0},
               {"-3", -3},
               {"", std::nullopt},
               {"4x", std::nullopt},
               {"1.5", std::nullopt},
               {" 7", std::nullopt},
               {"7\n", std::nullopt},
               {"99999999999999999999", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(parseHeartbeat(c.payload), c.value) << c.payload;
}

TEST(Payloads, EventLinesBetweenWorkerAndServiceAndOnStandardOutput) {
  const ReaderEvent token{ReaderEvent::Kind::kToken, "A1B2C3D4", "ISO14443", ""};
  const auto decoded = decodeReaderEvent(encodeReaderEvent(token));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->value, "A1B2C3D4");
  EXPECT_EQ(decoded->type, "ISO14443");
  for (const char* line : {"", "{}", "[]", R"({"event":"token"})", R"({"event":"lost"})", "up"}) {
    EXPECT_FALSE(decodeReaderEvent(line)) << line;
  }
  const auto at = std::chrono::system_clock::time_point(milliseconds(86400250));
  EXPECT_EQ(eventLine(token, "front", {2}, at),
            R"({"event":"token","reader":"front","value":"A1B2C3D4","type":"ISO14443",)"
            R"("connectors":[2],"time":"1970-01-02T00:00:00.250Z"})");
  EXPECT_EQ(eventLine({ReaderEvent::Kind::kDown, "", "", "the path /a is gone"}, "front", {2}, at),
            R"({"event":"down","reader":"front","reason":"the path /a is gone",)"
            R"("time":"1970-01-02T00:00:00.250Z"})");
}

TEST(RecentTokens, AVerdictFindsTheReaderForAMinuteOnly) {
  const SteadyClock::time_point start{};
  RecentTokens recent;
  recent.remember("A1B2C3D4", 1, start);
  recent.remember("0A0B0C0D", 0, start + std::chrono::seconds(30));
  EXPECT_EQ(recent.readerOf("A1B2C3D4", start + std::chrono::seconds(59)), 1u);
  EXPECT_EQ(recent.readerOf("FFFFFFFF", start), std::nullopt);
  // Expired by time alone, with no token read since.
  EXPECT_EQ(recent.readerOf("A1B2C3D4", start + std::chrono::seconds(61)), std::nullopt);
  EXPECT_EQ(recent.readerOf("0A0B0C0D", start + std::chrono::seconds(61)), 0u);
  // Read again: its minute starts again.
  recent.remember("A1B2C3D4", 0, start + std::chrono::seconds(100));
  EXPECT_EQ(recent.readerOf("A1B2C3D4", start + std::chrono::seconds(150)), 0u);
}

// Each verdict sounds once per read: repeats are silent, a change sounds,
// and the next read of the token sounds again.
TEST(RecentTokens, AReadSoundsEachVerdictOnce) {
  const SteadyClock::time_point start{};
  RecentTokens recent;
  recent.remember("A1B2C3D4", 1, start);
  const struct {
    bool accepted;
    std::optional<std::size_t> reader;
  } verdicts[] = {{false, 1u}, {false, std::nullopt}, {false, std::nullopt},
                  {true, 1u},  {true, std::nullopt},  {false, 1u}};
  for (const auto& v : verdicts) {
    EXPECT_EQ(recent.readerToSound("A1B2C3D4", v.accepted, start), v.reader) << v.accepted;
  }
  EXPECT_EQ(recent.readerToSound("FFFFFFFF", true, start), std::nullopt);
  recent.remember("A1B2C3D4", 1, start + std::chrono::seconds(5));
  EXPECT_EQ(recent.readerToSound("A1B2C3D4", false, start + std::chrono::seconds(5)), 1u);
}

}  // namespace
}  // namespace rfid_tokend
