// rfid-tokend end to end: the service as a child process with its real
// half-second exchanges, simulated readers in this process, and a real
// mosquitto on 127.0.0.1. Each test has its own broker, port and files, so
// the tests may run in parallel.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "harness.h"
#include "rfid_sim/simulator.h"
#include "test_cards.h"

namespace rfid_tokend_test {
namespace {

std::string event(const std::string& kind, const std::string& reader, const std::string& rest) {
  return R"("event":")" + kind + R"(","reader":")" + reader + "\"" + rest;
}

class EndToEnd : public ::testing::Test {
 protected:
  EndToEnd() { ::mkdir(logDir_.c_str(), 0700); }

  std::string plainListener(int port) const {
    return "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n";
  }
  std::vector<std::string> mqttFlags(int port) const {
    return {"--mqtt", "127.0.0.1:" + std::to_string(port), "--module-id", "rfid_1"};
  }
  std::vector<std::string> with(std::vector<std::string> args,
                                const std::vector<std::string>& more) const {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::vector<std::string> base() const { return {"--jsonl", "--log-dir", logDir_}; }

  TempDir dir_;
  std::string logDir_ = dir_.file("log");
};

TEST_F(EndToEnd, TokensDebounceRemovalAndTwoReaders) {
  const int port = freePort();
  Broker broker(dir_, plainListener(port), {port});
  Subscriber subscriber(port);
  Simulator left(Model::kElatec, std::nullopt);
  Simulator right(Model::kVor, std::nullopt);
  const std::string config =
      dir_.write("tokend.toml", "[[reader]]\nmodel = \"elatec\"\npath = \"" + left.portPath() +
                                    "\"\nname = \"left\"\nconnectors = [1]\n"
                                    "[[reader]]\nmodel = \"vor\"\npath = \"" +
                                    right.portPath() +
                                    "\"\nname = \"right\"\nconnectors = [2]\nblock = 4\n"
                                    "block_format = \"ascii\"\n");
  const std::string keys = dir_.write("keys", "1:A0A1A2A3A4A5\n");
  Service service(with(base(), with({"--config", config, "--keys", keys}, mqttFlags(port))));
  ASSERT_TRUE(service.waitForLine(event("up", "left", ""), milliseconds(5000)));
  ASSERT_TRUE(service.waitForLine(event("up", "right", ""), milliseconds(5000)));

  // A tap on each: the serial number on the left, the badge text on the right.
  left.insertCard(Card::classic({0x01, 0x22, 0x33, 0x44}));
  right.insertCard(badge());
  const std::string leftToken =
      R"({"id_token":{"value":"01223344","type":"ISO14443"},"authorization_type":"RFID",)"
      R"("connectors":[1]})";
  const std::string rightToken =
      R"({"id_token":{"value":"EMP-0042","type":"Local"},"authorization_type":"RFID",)"
      R"("connectors":[2]})";
  EXPECT_TRUE(eventually(
      [&] {
        return subscriber.count(kTokenTopic, leftToken) == 1 &&
               subscriber.count(kTokenTopic, rightToken) == 1;
      },
      milliseconds(5000)));
  const std::string leftLine =
      event("token", "left", R"(,"value":"01223344","type":"ISO14443","connectors":[1])");
  EXPECT_EQ(service.countLines(leftLine), 1);

  // Cards that rest on the readers count once, and do not fill the log: the
  // VOR card is halted after its token and stays silent, the Elatec card is
  // polled every 1.9 s while it rests. Taken away and back, the halted card
  // answers again and counts again.
  std::this_thread::sleep_for(milliseconds(2000));
  EXPECT_EQ(subscriber.payloads(kTokenTopic).size(), 2u);
  EXPECT_EQ(countInLog(logDir_, "Card type : MIFARE classic.") +
                countInLog(logDir_, "Halt card pass.") * 10,
            11);
  EXPECT_LE(countInLog(logDir_, "Card type: MIFARE classic."), 4);
  right.removeCard();
  right.insertCard();
  EXPECT_TRUE(eventually([&] { return subscriber.count(kTokenTopic, rightToken) == 2; },
                         milliseconds(3000)));

  // Removed after two polls without it; back, it counts again.
  left.removeCard();
  EXPECT_TRUE(
      service.waitForLine(event("removed", "left", R"(,"value":"01223344")"), milliseconds(3000)));
  left.insertCard();
  EXPECT_TRUE(service.waitForLine(leftLine, milliseconds(3000), 2));

  // Another card counts at once, without the absence.
  left.insertCard(Card::sevenByte({0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
  EXPECT_TRUE(service.waitForLine(event("token", "left", R"(,"value":"04112233445566")"),
                                  milliseconds(3000)));
  EXPECT_EQ(service.countLines(event("removed", "left", R"(,"value":"01223344")")), 2);

  // A card without the badge block: one Warn line, no token, however long it rests.
  right.insertCard(Card::sevenByte({0x04, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
  EXPECT_TRUE(
      service.waitForLine(event("removed", "right", R"(,"value":"EMP-0042")"), milliseconds(3000)));
  std::this_thread::sleep_for(milliseconds(2000));
  EXPECT_EQ(countInLog(logDir_, "reader right: no token from the card: block 4 could not be read"),
            1);
  EXPECT_EQ(service.countLines(event("token", "right", "")), 2);
  EXPECT_GE(subscriber.count(kCheckTopic, "true"), 1);
}

TEST_F(EndToEnd, VerdictsSoundTheReaderAndMalformedMessagesAreIgnored) {
  const int port = freePort();
  Broker broker(dir_, plainListener(port), {port});
  Subscriber subscriber(port);
  Simulator left(Model::kElatec, Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  Simulator right(Model::kVor, Card::classic({0x1A, 0x1B, 0x1C, 0x1D}));
  std::atomic<int> beeps{0};
  std::atomic<int> buzzes{0};
  left.setTrace([&](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    if (fromHost && count >= 4 && bytes[2] == 0x04 && bytes[3] == 0x07) ++beeps;
  });
  right.setTrace([&](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    if (fromHost && count >= 2 && bytes[1] == 0x14) ++buzzes;
  });
  Service service(with(
      base(), with({"--reader", "elatec:" + left.portPath(), "--reader", "vor:" + right.portPath(),
                    "--consumer-id", "auth", "--heartbeat-timeout", "1"},
                   mqttFlags(port))));
  ASSERT_TRUE(
      eventually([&] { return subscriber.payloads(kTokenTopic).size() == 2; }, milliseconds(5000)));

  const auto verdict = [](const std::string& value, const std::string& status) {
    return R"({"token":{"id_token":{"value":")" + value +
           R"(","type":"ISO14443"},"authorization_type":"RFID"},"status":")" + status + "\"}";
  };
  subscriber.publish(kValidationTopic, verdict("0A0B0C0D", "Processing"));
  subscriber.publish(kValidationTopic, verdict("0A0B0C0D", "Accepted"));
  subscriber.publish(kValidationTopic, verdict("1A1B1C1D", "Rejected"));
  subscriber.publish(kValidationTopic, verdict("99999999", "Accepted"));  // not ours
  // One beep for the accepted token, two buzzer signals for the rejected one.
  EXPECT_TRUE(eventually([&] { return beeps == 1 && buzzes == 2; }, milliseconds(5000)));

  for (const char* count : {"1", "2", "3"}) subscriber.publish(kPrefix + "/e2m/heartbeat", count);
  subscriber.publish(kPrefix + "/e2m/heartbeat", "three");
  subscriber.publish(kValidationTopic, "{\"token\":");
  EXPECT_TRUE(eventually(
      [&] { return countInLog(logDir_, "heartbeats from the charging stack stopped") == 1; },
      milliseconds(4000)));
  EXPECT_EQ(countInLog(logDir_, "heartbeats from the charging stack arrive"), 1);
  EXPECT_EQ(countInLog(logDir_, "ignored a malformed message on " + kPrefix + "/e2m/heartbeat"), 1);
  EXPECT_EQ(countInLog(logDir_, "ignored a malformed message on " + kValidationTopic), 1);
  EXPECT_EQ(beeps, 1);
  EXPECT_EQ(buzzes, 2);

  // Still serving.
  left.removeCard();
  EXPECT_TRUE(service.waitForLine(event("removed", left.portPath(), ""), milliseconds(3000)));
  left.insertCard();
  EXPECT_TRUE(eventually([&] { return subscriber.count(kTokenTopic, "0A0B0C0D") == 2; },
                         milliseconds(3000)));
}

TEST_F(EndToEnd, UnplugAndReplug) {
  const std::string link = dir_.file("ttyRFID");
  const auto pointLinkTo = [&](const std::string& target) {
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    ASSERT_EQ(::symlink(target.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(::rename(fresh.c_str(), link.c_str()), 0);
  };
  auto reader = std::make_unique<Simulator>(Model::kElatec, std::nullopt);
  pointLinkTo(reader->portPath());
  Service service(with(base(), {"--reader", "elatec:" + link}));
  ASSERT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(5000)));

  // Unplugged: the simulator and its pseudo-terminal are gone. The link is
  // moved away at once: the terminal's number is soon another's, as a
  // device name is after a real unplug.
  reader.reset();
  pointLinkTo(dir_.file("unplugged"));
  ASSERT_TRUE(service.waitForLine(R"("event":"down")", milliseconds(3000)));
  // While it is down, no module call and so not a single log line.
  const std::string logBefore = monthlyLog(logDir_);
  std::this_thread::sleep_for(milliseconds(3000));
  EXPECT_EQ(monthlyLog(logDir_), logBefore);

  // Plugged in again: back within the longest retry delay (2 s) and serving.
  reader = std::make_unique<Simulator>(Model::kElatec, std::nullopt);
  pointLinkTo(reader->portPath());
  EXPECT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(3000), 2));
  reader->insertCard(Card::classic({0xCA, 0xFE, 0x00, 0x01}));
  EXPECT_TRUE(service.waitForLine(R"("value":"CAFE0001")", milliseconds(3000)));

  // The path itself gone, then back.
  ::unlink(link.c_str());
  EXPECT_TRUE(service.waitForLine(R"("event":"down")", milliseconds(3000), 2));
  EXPECT_NE(service.lines().back().find(R"("reason":"the path )" + link + " is gone\""),
            std::string::npos);
  pointLinkTo(reader->portPath());
  EXPECT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(3000), 3));

  // One log line each time it went down and came back.
  EXPECT_EQ(countInLog(logDir_, "reader " + link + " down: "), 2);
  EXPECT_EQ(countInLog(logDir_, "reader " + link + " up ("), 3);
}

TEST_F(EndToEnd, BrokerRestartDeliversOnlyFreshTokens) {
  const int port = freePort();
  Broker broker(dir_, plainListener(port), {port});
  Subscriber subscriber(port, {}, "age-rule-watch");
  Simulator reader(Model::kElatec, std::nullopt);
  // Longer than the client's longest reconnect delay (4 s): the token read
  // just before the broker comes back must still be fresh when the client
  // next tries, wherever the tap falls in the retry cycle.
  const milliseconds maxAge = scaled(milliseconds(5000));
  Service service(with(base(), with({"--reader", "elatec:" + reader.portPath(), "--max-token-age",
                                     std::to_string(maxAge.count() / 1000.0)},
                                    mqttFlags(port))));
  ASSERT_TRUE(
      eventually([&] { return subscriber.count(kCheckTopic, "true") >= 1; }, milliseconds(5000)));

  broker.stop();
  ASSERT_TRUE(eventually([&] { return countInLog(logDir_, "lost the connection") == 1; },
                         milliseconds(3000)));
  const auto tap = [&](const Card& card, const std::string& value) {
    reader.insertCard(card);
    ASSERT_TRUE(service.waitForLine(R"("value":")" + value, milliseconds(3000)));
    reader.removeCard();
  };
  // A tap that waits longer than the max age is dropped, with one Warn line.
  tap(Card::classic({0x5A, 0x1E, 0x00, 0x01}), "5A1E0001");
  EXPECT_TRUE(eventually([&] { return countInLog(logDir_, "dropped a token") == 1; },
                         maxAge + milliseconds(2000)));
  tap(Card::classic({0xF2, 0xE5, 0x00, 0x02}), "F2E50002");
  broker.start();
  EXPECT_TRUE(eventually([&] { return subscriber.count(kTokenTopic, "F2E50002") == 1; },
                         milliseconds(10000)));
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_EQ(subscriber.count(kTokenTopic, "5A1E0001"), 0);
  EXPECT_EQ(countInLog(logDir_, "dropped a token"), 1);
}

TEST_F(EndToEnd, AuthenticationAndTls) {
  const auto make = [&](std::vector<std::string> argv) {
    ASSERT_TRUE(runProgram(argv)) << argv[1];
  };
  const std::string ec = "ec_paramgen_curve:prime256v1";
  make({OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
        dir_.file("ca.key"), "-out", dir_.file("ca.pem"), "-subj", "/CN=test CA", "-days", "2"});
  const std::string san = dir_.write("san.ext", "subjectAltName=IP:127.0.0.1\n");
  for (const std::string name : {"server", "client"}) {
    make({OPENSSL, "req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
          dir_.file(name + ".key"), "-out", dir_.file(name + ".csr"), "-subj", "/CN=127.0.0.1"});
    make({OPENSSL, "x509", "-req", "-in", dir_.file(name + ".csr"), "-CA", dir_.file("ca.pem"),
          "-CAkey", dir_.file("ca.key"), "-CAcreateserial", "-out", dir_.file(name + ".pem"),
          "-days", "2", "-extfile", san});
  }
  make({MOSQUITTO_PASSWD, "-c", "-b", dir_.file("passwords"), "tokend", "s3cret"});

  const int plain = freePort();
  const int tls = freePort();
  Broker broker(dir_,
                "allow_anonymous false\npassword_file " + dir_.file("passwords") + "\nlistener " +
                    std::to_string(plain) + " 127.0.0.1\nlistener " + std::to_string(tls) +
                    " 127.0.0.1\ncafile " + dir_.file("ca.pem") + "\ncertfile " +
                    dir_.file("server.pem") + "\nkeyfile " + dir_.file("server.key") +
                    "\nrequire_certificate true\n",
                {plain, tls});
  Subscriber subscriber(plain, {"tokend", "s3cret", ""});
  const std::string password = dir_.write("password", "s3cret\n");
  const std::string wrong = dir_.write("wrong", "secret\n");

  struct Run {
    std::vector<std::string> flags;
    std::array<std::uint8_t, 4> serial;
    std::string token;
  };
  const Run runs[] = {
      {{"--mqtt", "127.0.0.1:" + std::to_string(plain), "--mqtt-password-file", password},
       {0xA0, 0x00, 0x00, 0x01},
       "A0000001"},
      {{"--mqtt", "127.0.0.1:" + std::to_string(tls), "--mqtt-password-file", password,
        "--mqtt-cafile", dir_.file("ca.pem"), "--mqtt-certfile", dir_.file("client.pem"),
        "--mqtt-keyfile", dir_.file("client.key")},
       {0xA0, 0x00, 0x00, 0x02},
       "A0000002"},
      {{"--mqtt", "127.0.0.1:" + std::to_string(plain), "--mqtt-password-file", wrong},
       {0xA0, 0x00, 0x00, 0x03},
       "A0000003"},
  };
  std::vector<std::unique_ptr<Simulator>> readers;
  std::vector<std::unique_ptr<Service>> services;
  std::vector<std::string> logs;
  for (const Run& run : runs) {
    readers.push_back(std::make_unique<Simulator>(Model::kElatec, Card::classic(run.serial)));
    logs.push_back(dir_.file("log" + std::to_string(logs.size())));
    ::mkdir(logs.back().c_str(), 0700);
    std::vector<std::string> args = {"--jsonl",
                                     "--log-dir",
                                     logs.back(),
                                     "--reader",
                                     "elatec:" + readers.back()->portPath(),
                                     "--module-id",
                                     "rfid_1",
                                     "--mqtt-username",
                                     "tokend"};
    services.push_back(std::make_unique<Service>(with(args, run.flags)));
  }
  EXPECT_TRUE(eventually(
      [&] {
        return subscriber.count(kTokenTopic, runs[0].token) == 1 &&
               subscriber.count(kTokenTopic, runs[1].token) == 1;
      },
      milliseconds(8000)));
  EXPECT_TRUE(services[2]->waitForLine(R"("value":")" + runs[2].token, milliseconds(3000)));
  EXPECT_TRUE(eventually([&] { return countInLog(logs[2], "refused the connection") == 1; },
                         milliseconds(3000)));
  std::this_thread::sleep_for(milliseconds(2000));  // the library retries meanwhile
  EXPECT_EQ(countInLog(logs[2], "refused the connection"), 1);
  EXPECT_EQ(subscriber.count(kTokenTopic, runs[2].token), 0);
}

TEST_F(EndToEnd, BadConfigurationExitsBeforeAnyPortIsOpened) {
  Simulator reader(Model::kElatec, Card::classic({0x01, 0x02, 0x03, 0x04}));
  const std::string port = "elatec:" + reader.portPath();
  const std::string key = "A0A1A2A3A4A5";
  const std::string open = dir_.write("open-keys", "1:" + key + "\n", 0644);
  const std::string broken = dir_.write("broken-keys", "1:" + key + "\n2:" + key + "0\n");
  const std::string password = dir_.write("password", "s3cret\n", 0640);
  const std::string unknownKey = dir_.write("unknown.toml", "[mqtt]\nhost = \"h\"\nqos = 2\n");
  const std::string longToken = dir_.write(
      "long.toml",
      "[[reader]]\nmodel = \"vor\"\npath = \"/dev/ttyS0\"\nblock = 4\nblock_count = 3\n");
  const struct {
    std::vector<std::string> args;
    std::string fault;
  } cases[] = {
      {{"--reader", port, "--keys", open}, open},
      {{"--reader", port, "--keys", broken}, "line 2"},
      {{"--reader", port, "--mqtt", "h", "--module-id", "m", "--mqtt-username", "u",
        "--mqtt-password-file", password},
       "group or others"},
      {{"--reader", "nfc:" + reader.portPath()}, "unknown model \"nfc\""},
      {{"--reader", port, "--mqtt", "127.0.0.1:18x3", "--module-id", "m"}, "is not a number"},
      {{"--reader", port, "--config", unknownKey}, "mqtt.qos: unknown key"},
      {{"--config", longToken}, "would be up to 96 characters"},
      {{"--reader", port, "--log-dir", dir_.file("missing")}, "not a directory"},
  };
  for (const auto& c : cases) expectRefusedToStart(runService(c.args), c.fault, {key.c_str()});
  EXPECT_EQ(reader.bytesReceived(), 0u);
}

TEST_F(EndToEnd, HangUpReloadsKeysAndAWorkerThatDiesIsRestarted) {
  Simulator reader(Model::kElatec, badge());
  const std::string config =
      dir_.write("tokend.toml", "[[reader]]\nmodel = \"elatec\"\npath = \"" + reader.portPath() +
                                    "\"\nname = \"door\"\nblock = 4\nblock_format = \"ascii\"\n");
  const std::string keys = dir_.write("keys", "1:B0B1B2B3B4B5\n");
  Service service(with(base(), {"--config", config, "--keys", keys}));
  ASSERT_TRUE(eventually(
      [&] { return countInLog(logDir_, "no token from the card: login to the sector") == 1; },
      milliseconds(5000)));

  dir_.write("keys", "1:A0A1A2A3A4A5\n");
  ::kill(service.pid(), SIGHUP);
  EXPECT_TRUE(
      service.waitForLine(event("token", "door", R"(,"value":"EMP-0042")"), milliseconds(5000)));
  EXPECT_EQ(countInLog(logDir_, "reader door: key file reloaded"), 1);
  EXPECT_EQ(countInLog(logDir_, "A0A1A2A3A4A5") + countInLog(logDir_, "B0B1B2B3B4B5"), 0);

  const std::string log = monthlyLog(logDir_);
  const std::string started = "reader door: worker ";
  const pid_t worker = std::stoi(log.substr(log.find(started) + started.size()));
  ASSERT_GT(worker, 0);
  ::kill(worker, SIGKILL);
  EXPECT_TRUE(service.waitForLine(event("down", "door", R"(,"reason":"its worker ended")"),
                                  milliseconds(3000)));
  EXPECT_TRUE(service.waitForLine(event("up", "door", ""), milliseconds(5000), 2));
  EXPECT_EQ(countInLog(logDir_, "ended (signal Killed); restarting in 1 s"), 1);
}

TEST_F(EndToEnd, ClosedOutputAndStopOnSigterm) {
  // Nobody reads standard output any more: the service carries on. (Without
  // MQTT: the MQTT library ignores SIGPIPE on its own.)
  Simulator quiet(Model::kElatec, std::nullopt);
  Service unread(with(base(), {"--reader", "elatec:" + quiet.portPath()}));
  ASSERT_TRUE(unread.waitForLine(R"("event":"up")", milliseconds(5000)));
  unread.closeOutput();
  quiet.insertCard(Card::classic({0xC1, 0x05, 0xED, 0x00}));
  ASSERT_TRUE(
      eventually([&] { return countInLog(logDir_, "Card type") >= 2; }, milliseconds(3000)));
  const int unreadStatus = unread.stop(SIGTERM, milliseconds(1500));
  EXPECT_TRUE(WIFEXITED(unreadStatus) && WEXITSTATUS(unreadStatus) == 0) << unreadStatus;

  // Stopped at a random moment of an exchange: exit 0 within 1.5 s, after
  // telling the stack that this provider is gone.
  const int port = freePort();
  Broker broker(dir_, plainListener(port), {port});
  Subscriber subscriber(port);
  Simulator reader(Model::kElatec, std::nullopt);
  Service service(with(base(), with({"--reader", "elatec:" + reader.portPath()}, mqttFlags(port))));
  ASSERT_TRUE(
      eventually([&] { return subscriber.count(kCheckTopic, "true") >= 1; }, milliseconds(5000)));
  std::mt19937 random(std::random_device{}());
  std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 500)(random)));
  const int status = service.stop(SIGTERM, milliseconds(1500));
  ASSERT_NE(status, -1) << "still running 1.5 s after SIGTERM";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(
      eventually([&] { return subscriber.count(kCheckTopic, "false") == 1; }, milliseconds(2000)));
}

}  // namespace
}  // namespace rfid_tokend_test
