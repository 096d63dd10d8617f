// rfid-tokend end to end under faults of its surroundings: standard streams
// that are full or closed, a worker that stops, verdict floods, one port
// under two names, and configuration that must be refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "harness.h"
#include "rfid_sim/simulator.h"
#include "test_cards.h"

namespace rfid_tokend_test {
namespace {

class ProcessFaults : public ::testing::Test {
 protected:
  ProcessFaults() { ::mkdir(logDir_.c_str(), 0700); }

  std::vector<std::string> args(std::vector<std::string> more, int mqttPort = 0) const {
    std::vector<std::string> all = {"--jsonl", "--log-dir", logDir_};
    if (mqttPort != 0) {
      more.insert(more.end(),
                  {"--mqtt", "127.0.0.1:" + std::to_string(mqttPort), "--module-id", "rfid_1"});
    }
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }
  std::string listener(int port) const {
    return "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n";
  }
  pid_t workerPid(const std::string& reader, int nth = 1) const {
    const std::string log = monthlyLog(logDir_);
    const std::string started = "reader " + reader + ": worker ";
    int seen = 0;
    for (std::size_t at = 0; (at = log.find(started, at)) != std::string::npos;) {
      at += started.size();
      std::size_t digits = 0;
      const pid_t pid = std::stoi(log.substr(at), &digits);
      if (log.compare(at + digits, 8, " started") == 0 && ++seen == nth) return pid;
    }
    return -1;
  }

  TempDir dir_;
  std::string logDir_ = dir_.file("log");
};

bool exitedCleanly(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int tokensOf(const Subscriber& subscriber, const std::string& value) {
  const auto payloads = subscriber.payloads(kTokenTopic);
  return static_cast<int>(
      std::count_if(payloads.begin(), payloads.end(), [&](const std::string& payload) {
        return payload.find("\"" + value + "\"") != std::string::npos;
      }));
}

TEST_F(ProcessFaults, FullStandardOutputAndErrorBlockNeitherTapsNorStop) {
  const int port = freePort();
  Broker broker(dir_, listener(port), {port});
  Subscriber subscriber(port);
  Simulator reader(Model::kElatec, Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  // Nobody reads either stream (a stalled consumer, a stalled journald).
  FullPipe output, errors;
  const pid_t service = startService(args({"--reader", "elatec:" + reader.portPath()}, port),
                                     output.writeEnd(), errors.writeEnd());
  EXPECT_TRUE(
      eventually([&] { return tokensOf(subscriber, "0A0B0C0D") == 1; }, milliseconds(5000)));
  EXPECT_TRUE(eventually(
      [&] {
        return countInLog(logDir_, "standard output takes no more lines") == 1 &&
               countInLog(logDir_, "standard error takes no more lines") == 1;
      },
      milliseconds(3000)));
  reader.removeCard();
  reader.insertCard(Card::classic({0x1A, 0x1B, 0x1C, 0x1D}));
  EXPECT_TRUE(
      eventually([&] { return tokensOf(subscriber, "1A1B1C1D") == 1; }, milliseconds(5000)));

  // Read again: the next line goes out, and one Warn line counts the lost.
  output.drain();
  errors.drain();
  reader.removeCard();
  EXPECT_TRUE(eventually(
      [&] {
        const auto lines = output.drain();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
          return line.find(R"("event":"removed")") != std::string::npos;
        });
      },
      milliseconds(5000)));
  EXPECT_TRUE(
      eventually([&] { return countInLog(logDir_, "standard output takes lines again; ") == 1; },
                 milliseconds(3000)));
  EXPECT_EQ(countInLog(logDir_, "standard output takes no more lines"), 1);

  // Full again, a card resting: SIGTERM still ends it at once.
  output.fill();
  errors.fill();
  reader.insertCard();
  std::this_thread::sleep_for(milliseconds(1200));
  EXPECT_TRUE(exitedCleanly(stopService(service, SIGTERM, milliseconds(1500))));
}

TEST_F(ProcessFaults, ClosedStandardStreamsKeepConsoleLinesOutOfTheReader) {
  Simulator reader(Model::kElatec, Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  std::mutex mutex;
  std::string fromHost;
  reader.setTrace([&](bool host, const std::uint8_t* bytes, std::size_t count) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (host) fromHost.append(reinterpret_cast<const char*>(bytes), count);
  });
  const int errors = ::open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const pid_t service = startService(
      {"--log-dir", logDir_, "--reader", "elatec:" + reader.portPath()}, -1, errors, true);
  ::close(errors);
  EXPECT_TRUE(
      eventually([&] { return countInLog(logDir_, "Card type") >= 2; }, milliseconds(5000)));
  EXPECT_TRUE(exitedCleanly(stopService(service, SIGTERM, milliseconds(1500))));
  const std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(fromHost.find("rfid-tokend"), std::string::npos);
  EXPECT_EQ(fromHost.find("Card type"), std::string::npos);
}

TEST_F(ProcessFaults, AStoppedWorkerIsReportedDownKilledAndRestarted) {
  Simulator reader(Model::kElatec, std::nullopt);
  Service service(args({"--reader", "elatec:" + reader.portPath()}));
  ASSERT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(5000)));
  const pid_t worker = workerPid(reader.portPath());
  ASSERT_GT(worker, 0);
  ::kill(worker, SIGSTOP);
  EXPECT_TRUE(service.waitForLine(
      R"("event":"down","reader":")" + reader.portPath() + R"(","reason":"its worker is stuck")",
      milliseconds(6000)));
  EXPECT_EQ(countInLog(logDir_, "gave no sign of life"), 1);
  EXPECT_TRUE(service.waitForLine(R"("event":"up")", milliseconds(5000), 2));
  EXPECT_NE(workerPid(reader.portPath(), 2), worker);
  // Polling again: a tap counts.
  reader.insertCard(Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_TRUE(service.waitForLine(R"("event":"token")", milliseconds(3000)));
}

TEST_F(ProcessFaults, AVerdictFloodCoalescesIntoOneSound) {
  const int port = freePort();
  Broker broker(dir_, listener(port), {port});
  Subscriber subscriber(port);
  Simulator reader(Model::kElatec, Card::classic({0x0A, 0x0B, 0x0C, 0x0D}));
  std::atomic<int> beeps{0};
  reader.setTrace([&](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    if (fromHost && count >= 4 && bytes[2] == 0x04 && bytes[3] == 0x07) ++beeps;
  });
  Service service(args({"--reader", "elatec:" + reader.portPath(), "--consumer-id", "auth"}, port));
  ASSERT_TRUE(
      eventually([&] { return subscriber.payloads(kTokenTopic).size() == 1; }, milliseconds(5000)));
  const std::string rejected =
      R"({"token":{"id_token":{"value":"0A0B0C0D","type":"ISO14443"},"authorization_type":"RFID"},"status":"Rejected"})";
  for (int i = 0; i < 30; ++i) subscriber.publish(kValidationTopic, rejected);
  // At most the sound in progress and one pending: four beeps, not sixty.
  EXPECT_TRUE(eventually([&] { return beeps >= 2; }, milliseconds(3000)));
  reader.removeCard();
  reader.insertCard(Card::classic({0x1A, 0x1B, 0x1C, 0x1D}));
  EXPECT_TRUE(service.waitForLine(R"("value":"1A1B1C1D")", milliseconds(6000)));
  EXPECT_LE(beeps, 4);
}

TEST_F(ProcessFaults, ConfigurationFaultsExitBeforeAnyPortIsOpened) {
  Simulator reader(Model::kElatec, Card::classic({0x01, 0x02, 0x03, 0x04}));
  const std::string path = reader.portPath();
  const std::string link = dir_.file("ttyLINK");
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  const std::string doubled = "/dev//" + path.substr(5);  // "/dev//pts/N": the same port
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
  const std::string keyLine = "1:A0A1A2A3A4A5\n";
  std::string bigKeys = keyLine;
  while (bigKeys.size() <= 64 * 1024) bigKeys += "# padding padding padding padding padding\n";
  const std::string big = dir_.write("big-keys", bigKeys);
  const std::string foreign = dir_.write("foreign-keys", keyLine);
  const bool canGiveAway = ::chown(foreign.c_str(), 65534, 65534) == 0;
  const std::string passwordDir = dir_.file("password.d");
  ::mkdir(passwordDir.c_str(), 0700);
  const std::string noHost = dir_.write("nohost.toml", "[mqtt]\nmodule_id = \"m\"\n");
  const std::string twice = dir_.write("twice.toml", "[[reader]]\nmodel = \"vor\"\npath = \"" +
                                                         path + "\"\nconnectors = [1, 2, 1]\n");
  const std::string aliases = dir_.write(
      "aliases.toml", "[[reader]]\nmodel = \"vor\"\npath = \"" + path +
                          "\"\n[[reader]]\nmodel = " + "\"elatec\"\npath = \"" + link + "\"\n");
  struct Case {
    std::vector<std::string> args;
    std::string fault;
  };
  std::vector<Case> cases = {
      {{"--reader", "elatec:" + path, "--reader", "vor:" + link},
       "--reader vor:" + link + ": path: the port " + link +
           " is given twice (also as --reader elatec:" + path + ")"},
      {{"--reader", "elatec:" + path, "--reader", "elatec:" + doubled},
       "is given twice (also as --reader elatec:" + path + ")"},
      {{"--config", aliases},
       "reader[2].path: the port " + link + " is given twice (also as " + aliases +
           ": reader[1].path)"},
      {{"--config", dir_.path()}, "--config " + dir_.path() + ": not a regular file"},
      {{"--reader", "elatec:" + path, "--config", noHost}, noHost + ": mqtt.host: missing"},
      {{"--reader", "elatec:" + path, "--mqtt-certfile", big}, "--mqtt: "},
      {{"--config", twice}, "reader[1].connectors: connector 1 is given twice"},
      {{"--reader", "elatec:" + path, "--keys", big}, "--keys " + big + ": "},
      {{"--reader", "elatec:" + path, "--mqtt", "127.0.0.1", "--module-id", "m", "--mqtt-username",
        "u", "--mqtt-password-file", passwordDir},
       "--mqtt-password-file " + passwordDir + ": not a regular file"},
  };
  if (canGiveAway) {
    cases.push_back({{"--reader", "elatec:" + path, "--keys", foreign},
                     "--keys " + foreign + ": owned by user 65534"});
  }
  for (const Case& c : cases) expectRefusedToStart(runService(c.args), c.fault, {"A0A1A2A3A4A5"});
  EXPECT_EQ(reader.bytesReceived(), 0u);
}

}  // namespace
}  // namespace rfid_tokend_test
