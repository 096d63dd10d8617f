// rfid-tokend under broker faults, measured: how late a token read while
// the broker was frozen can arrive (the broker replaced, or resumed), how
// many TLS broker crashes the service reconnects after and how fast, and the
// resident size through a 20 MB message. scripts/service-faults-report runs
// it and prints a Markdown table for docs/service.md.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "mqtt_fault_harness.h"
#include "rfid_sim/simulator.h"

namespace {

using namespace rfid_tokend_test;
using rfid_sim::Card;
using rfid_sim::Model;
using rfid_sim::Simulator;

double secondsSince(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// Seconds until `done` holds, or -1 after `bound`.
double timeUntil(const std::function<bool()>& done, milliseconds bound,
                 Clock::time_point from = Clock::now()) {
  return eventually(done, bound) ? secondsSince(from) : -1;
}

struct Scene {
  TempDir dir;
  std::string logDir = dir.file("log");
  int port = freePort();
  std::unique_ptr<Broker> broker;
  std::unique_ptr<Subscriber> subscriber;
  Simulator reader{Model::kElatec, std::nullopt};
  std::unique_ptr<Service> service;

  Scene(const std::string& brokerConfig, std::vector<int> ports, int subscriberPort,
        std::vector<std::string> flags) {
    ::mkdir(logDir.c_str(), 0700);
    broker = std::make_unique<Broker>(dir, brokerConfig, ports);
    // A session the broker keeps across its restarts: nothing slips past.
    subscriber = std::make_unique<Subscriber>(subscriberPort, ClientAuth{}, "faults-watch");
    broker->stop();
    broker->start();
    std::vector<std::string> args = {"--jsonl",
                                     "--log-dir",
                                     logDir,
                                     "--reader",
                                     "elatec:" + reader.portPath(),
                                     "--module-id",
                                     "rfid_1",
                                     "--communication-check-interval",
                                     "0.5"};
    args.insert(args.end(), flags.begin(), flags.end());
    service = std::make_unique<Service>(args);
    if (timeUntil([&] { return !subscriber->payloads(kCheckTopic).empty(); }, milliseconds(10000)) <
        0) {
      throw std::runtime_error("the service did not connect");
    }
  }
  std::string tap(std::uint8_t n) {
    const std::array<std::uint8_t, 4> serial = {0x7A, 0x9E, 0x00, n};
    reader.insertCard(Card::classic(serial));
    char value[9];
    std::snprintf(value, sizeof value, "7A9E00%02X", n);
    service->waitForLine(std::string(R"("value":")") + value, milliseconds(3000));
    reader.removeCard();
    return value;
  }
  void crash() {
    ::kill(broker->pid(), SIGKILL);
    broker->stop();
  }
};

std::string plainBroker(int port) {
  return "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n";
}

std::string arrival(double seconds) {
  char text[48];
  if (seconds < 0) return "not delivered";
  std::snprintf(text, sizeof text, "%.1f s after the tap", seconds);
  return text;
}

void frozen(bool replaced, int runs, double maxAge) {
  for (int run = 0; run < runs; ++run) {
    const int port = freePort();
    Scene scene(
        plainBroker(port), {port}, port,
        {"--mqtt", "127.0.0.1:" + std::to_string(port), "--max-token-age", std::to_string(maxAge)});
    ::kill(scene.broker->pid(), SIGSTOP);
    const auto tapped = Clock::now();
    const std::string value = scene.tap(static_cast<std::uint8_t>(run));
    const double noticed =
        timeUntil([&] { return countInLog(scene.logDir, "no PUBACK within") > 0; },
                  milliseconds(20000), tapped);
    const double dropped =
        timeUntil([&] { return countInLog(scene.logDir, "dropped a token") > 0; },
                  milliseconds(20000), tapped);
    // The broker stays frozen for four times the age, then is replaced or resumed.
    std::this_thread::sleep_until(tapped + std::chrono::duration<double>(4 * maxAge));
    if (replaced) {
      scene.crash();
      scene.broker->start();
    } else {
      ::kill(scene.broker->pid(), SIGCONT);
    }
    const double arrived =
        timeUntil([&] { return scene.subscriber->count(kTokenTopic, value) > 0; },
                  milliseconds(6000), tapped);
    std::printf("| frozen %.0f s, then %s | %.1f s | %.1f s | %s |\n", 4 * maxAge,
                replaced ? "replaced" : "resumed", noticed, dropped, arrival(arrived).c_str());
  }
}

void tlsCrashes(int crashes) {
  TempDir certs;
  makeCa(certs, "ca");
  makeServer(certs, "ca", "server");
  const int plain = freePort();
  const int tls = freePort();
  Scene scene(
      plainBroker(plain) + "listener " + std::to_string(tls) +
          " 127.0.0.1\nallow_anonymous true\ncafile " + certs.file("ca.pem") + "\ncertfile " +
          certs.file("server.pem") + "\nkeyfile " + certs.file("server.key") + "\n",
      {plain, tls}, plain,
      {"--mqtt", "127.0.0.1:" + std::to_string(tls), "--mqtt-cafile", certs.file("ca.pem")});
  int back = 0;
  double slowest = 0;
  for (int crash = 0; crash < crashes; ++crash) {
    scene.crash();
    scene.broker->start();
    const auto started = Clock::now();
    const std::size_t before = scene.subscriber->payloads(kCheckTopic).size();
    const double took =
        timeUntil([&] { return scene.subscriber->payloads(kCheckTopic).size() > before; },
                  milliseconds(15000), started);
    if (took >= 0) ++back;
    slowest = std::max(slowest, took);
  }
  std::printf(
      "| TLS broker crashes (`kill -9`, restart) | reconnected after | slowest, restart to "
      "`communication_check` |\n|---|---|---|\n| %d | %d | %.1f s |\n",
      crashes, back, slowest);
}

void memory() {
  const int port = freePort();
  Scene scene(plainBroker(port), {port}, port,
              {"--mqtt", "127.0.0.1:" + std::to_string(port), "--consumer-id", "auth"});
  const pid_t pid = scene.service->pid();
  const long before = residentKiB(pid);
  scene.subscriber->publish(kValidationTopic, std::string(20 * 1000 * 1000, '['));
  std::this_thread::sleep_for(milliseconds(3000));
  std::printf("| 20 MB on token_validation_status, mosquitto | %ld KiB | %ld KiB | %ld KiB |\n",
              before, peakResidentKiB(pid), residentKiB(pid));

  TempDir dir;
  const std::string logDir = dir.file("log");
  ::mkdir(logDir.c_str(), 0700);
  CarelessBroker careless(kValidationTopic, std::string(20 * 1000 * 1000, '['));
  Simulator reader(Model::kElatec, std::nullopt);
  Service service({"--jsonl", "--log-dir", logDir, "--reader", "elatec:" + reader.portPath(),
                   "--mqtt", "127.0.0.1:" + std::to_string(careless.port()), "--module-id",
                   "rfid_1", "--consumer-id", "auth"});
  eventually([&] { return countInLog(logDir, "connected to the broker") > 0; }, milliseconds(5000));
  const long carelessBefore = residentKiB(service.pid());
  careless.release();
  eventually([&] { return countInLog(logDir, "dropped a message of") > 0; }, milliseconds(10000));
  std::this_thread::sleep_for(milliseconds(500));
  std::printf(
      "| 20 MB on token_validation_status, a broker that ignores the limit | %ld KiB | "
      "%ld KiB | %ld KiB |\n",
      carelessBefore, peakResidentKiB(service.pid()), residentKiB(service.pid()));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("rfid-tokend under broker faults");
  int runs = 3;
  int crashes = 10;
  double maxAge = 2;
  app.add_option("--runs", runs, "runs of each frozen-broker case");
  app.add_option("--crashes", crashes, "TLS broker crashes");
  app.add_option("--max-token-age", maxAge, "the service's max token age, seconds");
  CLI11_PARSE(app, argc, argv);
  std::printf(
      "| broker | dead connection noticed | token dropped from the queue | token "
      "arrives |\n|---|---|---|---|\n");
  frozen(true, runs, maxAge);
  frozen(false, runs, maxAge);
  std::printf("\n");
  tlsCrashes(crashes);
  std::printf("\n| message | resident before | peak | after |\n|---|---|---|---|\n");
  memory();
  return 0;
}
