// rfid_tokend_bench: how fast a card tap reaches the charging stack through
// rfid-tokend, and what the service costs while it waits. Everything runs
// for real: simulated readers in this process, a mosquitto broker on
// 127.0.0.1, and the service as a child process with the module's fixed
// half-second exchanges. It writes what it measured to results.json;
// scripts/service-report runs it and turns that into the Markdown of
// docs/service.md.
//
// Latency is timed on this process's steady clock, from just before a card
// enters a simulated reader to the moment the token arrives at an MQTT
// subscriber here. Each tap gets a card of its own, so that every message
// names the tap it belongs to.
#include <mosquitto.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "fleet_images.h"
#include "harness.h"
#include "measures.h"
#include "payloads.h"
#include "rfid_serial/serial_port.h"
#include "rfid_sim/desfire_fixtures.h"
#include "rfid_sim/simulator.h"
#include "token.h"

namespace {

using rfid_sim::Card;
using rfid_sim::Model;
using rfid_sim::Simulator;
using rfid_tokend_test::Broker;
using rfid_tokend_test::countSystemCalls;
using rfid_tokend_test::loadAverage;
using rfid_tokend_test::logEntries;
using rfid_tokend_test::percentile;
using rfid_tokend_test::ProcessSample;
using rfid_tokend_test::sampleService;
using rfid_tokend_test::Service;
using rfid_tokend_test::TempDir;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using std::chrono::milliseconds;

const std::string kModuleId = "bench";
const std::string kPrefix = "everest_api/1/auth_token_provider/" + kModuleId;
const std::string kTokenTopic = kPrefix + "/m2e/provided_token";
const std::string kCheckTopic = kPrefix + "/m2e/communication_check";

// Taps wait at random over two of these, so that they land anywhere in the
// service's poll cycle (at most this long: the module's fixed wait).
constexpr milliseconds kPollCycle{500};
// The provider for contrast: identify, publish, then sleep this long.
constexpr milliseconds kSleepingProviderPause{5000};
// A tap whose token has not arrived by then counts as lost.
constexpr milliseconds kTokenTimeout{12000};
// A removal the service has not reported by then is not waited for longer.
constexpr milliseconds kRemovalTimeout{5000};
constexpr milliseconds kStartTimeout{10000};
// The block token: sector 1, locked with this key A, the text in block 4.
constexpr int kTokenBlock = 4;
// What an idle reader is sent at each poll: the Elatec tag search, the VOR
// card request.
constexpr double kElatecSearchBytes = 5;
constexpr double kVorRequestBytes = 4;
// How long the idle workers' system calls are counted.
constexpr int kSystemCallWindowSeconds = 60;
constexpr std::uint8_t kSectorKey[] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
// Fleet tokens: the bench's keys make each tap's card, the charger's file
// (the same without key_b) reads it.
// DESFire fleet cards are made with the example fleet's keys; the charger's
// file holds its K_DR.
const char* const kChargerFleetKeys =
    "key_a = \"000102030405060708090A0B0C0D0E0F\"\n[mac]\n1 = "
    "\"202122232425262728292A2B2C2D2E2F\"\n"
    "[desfire]\nread_key = \"404142434445464748494A4B4C4D4E4F\"\n";
const char* const kBenchKeyB = "key_b = \"101112131415161718191A1B1C1D1E1F\"\n";

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

void progress(const std::string& text) {
  std::fprintf(stderr, "service-report: %s\n", text.c_str());
}

// ---- The subscriber ------------------------------------------------------------

// Notes when each token value first arrived, and counts the communication
// checks, on the provider's topics.
class TokenWatch {
 public:
  explicit TokenWatch(int port) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (client_ == nullptr) throw std::runtime_error("cannot create the MQTT subscriber");
    mosquitto_message_callback_set(client_, &TokenWatch::onMessage);
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(client, nullptr, (kPrefix + "/m2e/#").c_str(), 1);
    });
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
      throw std::runtime_error("the subscriber cannot connect to the broker");
    }
    mosquitto_loop_start(client_);
  }
  ~TokenWatch() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  TokenWatch(const TokenWatch&) = delete;
  TokenWatch& operator=(const TokenWatch&) = delete;

  std::optional<Clock::time_point> arrival(const std::string& value) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = arrivals_.find(value);
    if (found == arrivals_.end()) return std::nullopt;
    return found->second;
  }
  int checks() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return checks_;
  }

 private:
  static void onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    const Clock::time_point now = Clock::now();
    auto* watch = static_cast<TokenWatch*>(self);
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
    const std::lock_guard<std::mutex> lock(watch->mutex_);
    if (message->topic == kCheckTopic) {
      if (payload == "true") ++watch->checks_;
      return;
    }
    const Json token = Json::parse(payload, nullptr, false);
    if (token.is_discarded() || !token.contains("id_token")) return;
    const Json& value = token["id_token"]["value"];
    if (value.is_string()) watch->arrivals_.emplace(value.get<std::string>(), now);
  }

  mosquitto* client_ = nullptr;
  mutable std::mutex mutex_;
  std::map<std::string, Clock::time_point> arrivals_;
  int checks_ = 0;
};

// ---- Readers -------------------------------------------------------------------

// A simulated reader behind a fixed path, as a udev rule names a USB
// reader. Unplugging destroys the simulator and its pseudo-terminal and
// moves the link away at once: the terminal's number is soon another's.
class PluggedReader {
 public:
  PluggedReader(Model model, std::string link) : model_(model), link_(std::move(link)) { plug(); }
  Simulator& simulator() { return *simulator_; }
  const std::string& path() const { return link_; }
  Model model() const { return model_; }

  void plug() {
    simulator_ = std::make_unique<Simulator>(model_, std::nullopt);
    // A real reader's pace: its reply delays, and bytes at 9600 baud.
    simulator_->setTiming(rfid_sim::Timing::typical(model_));
    pointTo(simulator_->portPath());
  }
  void unplug() {
    simulator_.reset();
    pointTo(link_ + ".unplugged");
  }

 private:
  void pointTo(const std::string& target) const {
    const std::string fresh = link_ + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link_.c_str())) {
      throw std::runtime_error("cannot link " + link_ + ": " + std::strerror(errno));
    }
  }

  Model model_;
  std::string link_;
  std::unique_ptr<Simulator> simulator_;
};

// Each tap has a card of its own: a serial number, and a text in block 4
// (under key A of sector 1), that name the lane and the tap.
std::array<std::uint8_t, 4> tapSerial(std::uint8_t lane, int tap) {
  return {0xC0, lane, static_cast<std::uint8_t>(tap >> 8), static_cast<std::uint8_t>(tap)};
}

std::string serialTokenOf(std::uint8_t lane, int tap) {
  const auto serial = tapSerial(lane, tap);
  return rfid_tokend::serialToken({serial.begin(), serial.end()}, false);
}

std::string blockTokenOf(std::uint8_t lane, int tap) {
  char text[17];
  std::snprintf(text, sizeof text, "TAP-%02X-%04d", lane, tap);
  return text;
}

// A fleet card of its own per tap, its token id naming the lane and the tap.
rfid_cardauth::TokenId fleetTokenIdOf(std::uint8_t lane, int tap) {
  return {0xF0, lane, 0, 0, static_cast<std::uint8_t>(tap >> 8), static_cast<std::uint8_t>(tap)};
}

std::string fleetTokenOf(std::uint8_t lane, int tap) {
  const auto id = fleetTokenIdOf(lane, tap);
  return rfid_tokend::serialToken({id.begin(), id.end()}, false);
}

Card fleetTapCard(std::uint8_t lane, int tap) {
  rfid_cardauth::FleetKeys bench;
  if (rfid_cardauth::parseFleetKeys(std::string(kBenchKeyB) + kChargerFleetKeys, bench)) {
    throw std::runtime_error("the bench's fleet keys do not parse");
  }
  const auto image =
      rfid_tools::fleetCardImage(bench, tapSerial(lane, tap), 1, fleetTokenIdOf(lane, tap));
  if (!image) throw std::runtime_error("no fleet card image");
  return Card::classicFromDump(rfid_image::memoryOfImage(*image));
}

// A DESFire fleet card of its own per tap: its serial number and token id
// name the lane and the tap.
Card desfireTapCard(std::uint8_t lane, int tap) {
  const rfid_sim::DesfireBytes serial = {
      0x04, 0xD0, lane, 0, 0, static_cast<std::uint8_t>(tap >> 8), static_cast<std::uint8_t>(tap)};
  const auto card = rfid_sim::fleetCard(serial, rfid_sim::exampleFleet(), fleetTokenIdOf(lane, tap),
                                        static_cast<std::uint64_t>(tap) + 1);
  if (!card) throw std::runtime_error("no DESFire fleet card");
  return Card::desfire(*card);
}

Card tapCard(std::uint8_t lane, int tap) {
  rfid_sim::Memory memory = Card::classic(tapSerial(lane, tap)).memory();
  const std::string text = blockTokenOf(lane, tap);
  std::copy(text.begin(), text.end(), memory.begin() + kTokenBlock * rfid_sim::kBlockSize);
  const int trailer = rfid_sim::trailerOf(rfid_sim::sectorOf(kTokenBlock));
  std::copy(std::begin(kSectorKey), std::end(kSectorKey),
            memory.begin() + trailer * rfid_sim::kBlockSize);
  return Card::classicFromDump(memory);
}

// ---- The provider for contrast ---------------------------------------------------

// A provider as simple as they come, and as some are written: identify
// through the module, publish what was found, sleep five seconds, again.
// It runs on a thread of its own here; nothing else in this process calls
// the module.
class SleepingProvider {
 public:
  SleepingProvider(const std::string& path, int port) {
    std::string fault;
    port_ = rfid_serial::openSerialPort(path, rfid_serial::kDefaultBaud, fault);
    if (!port_.valid()) throw std::runtime_error(fault);
    client_ = mosquitto_new(nullptr, true, nullptr);
    if (client_ == nullptr ||
        mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
      mosquitto_destroy(client_);
      throw std::runtime_error("the provider that sleeps cannot connect to the broker");
    }
    mosquitto_loop_start(client_);
    thread_ = std::thread([this] { run(); });
  }
  ~SleepingProvider() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  SleepingProvider(const SleepingProvider&) = delete;
  SleepingProvider& operator=(const SleepingProvider&) = delete;

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      unsigned char record[RFID_SERIAL_RECORD_SIZE] = {};
      if (searchTag(port_.get(), RFID_MODULE_ELATEC, record, RFID_STAGE_SEARCH) &&
          (record[0] == 4 || record[0] == 7)) {
        const std::string payload = rfid_tokend::providedTokenPayload(
            rfid_tokend::serialToken({record + 1, record + 1 + record[0]}, false), "ISO14443", {});
        mosquitto_publish(client_, nullptr, kTokenTopic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false);
      }
      lock.lock();
      wake_.wait_for(lock, kSleepingProviderPause, [this] { return stopping_; });
    }
  }

  rfid_serial::UniqueFd port_;
  mosquitto* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// ---- Taps ----------------------------------------------------------------------

// One reader being tapped: wait a random time, put a card on it, wait for
// its token, take the card away, wait until the provider has seen it go.
struct Lane {
  std::string label;
  PluggedReader* reader = nullptr;
  std::uint8_t id = 0;
  bool blockToken = false;
  bool fleetToken = false;
  bool desfireToken = false;  // the token id of a DESFire fleet card
  // The service's event that the card counts as gone; empty for a provider
  // without one.
  std::string removedEvent;
  // The wait before each insertion is uniform in [0, span), at least one
  // poll cycle of the provider, so that taps land anywhere in its cycle.
  milliseconds span{0};
  int taps = 0;

  enum class Step { kWaiting, kAwaitingToken, kAwaitingRemoval };
  Step step = Step::kWaiting;
  int tap = 0;
  Clock::time_point due{};
  Clock::time_point insertedAt{};
  int removalsExpected = 0;
  int removalsSeen = 0;
  std::vector<double> latencies;  // milliseconds
  int lost = 0;

  std::string token() const {
    if (fleetToken || desfireToken) return fleetTokenOf(id, tap);
    return blockToken ? blockTokenOf(id, tap) : serialTokenOf(id, tap);
  }
  Card card() const {
    return desfireToken ? desfireTapCard(id, tap)
           : fleetToken ? fleetTapCard(id, tap)
                        : tapCard(id, tap);
  }
  bool done() const { return tap >= taps && step == Step::kWaiting; }
};

class Tapper {
 public:
  Tapper(TokenWatch& watch, std::mt19937& random) : watch_(watch), random_(random) {}

  // Taps every lane until each has had its taps; `service` reports removals.
  void run(std::vector<Lane>& lanes, Service* service) {
    std::size_t linesRead = service != nullptr ? service->lines().size() : 0;
    for (Lane& lane : lanes) lane.due = Clock::now() + randomWait(lane);
    while (!std::all_of(lanes.begin(), lanes.end(), [](const Lane& lane) { return lane.done(); })) {
      if (service != nullptr) {
        const std::vector<std::string>& lines = service->lines();
        for (; linesRead < lines.size(); ++linesRead) {
          for (Lane& lane : lanes) {
            if (!lane.removedEvent.empty() &&
                lines[linesRead].find(lane.removedEvent) != std::string::npos) {
              ++lane.removalsSeen;
            }
          }
        }
      }
      for (Lane& lane : lanes) advance(lane);
      std::this_thread::sleep_for(milliseconds(2));
    }
  }

 private:
  milliseconds randomWait(const Lane& lane) {
    return milliseconds(
        std::uniform_int_distribution<long long>(0, lane.span.count() - 1)(random_));
  }

  void advance(Lane& lane) {
    const Clock::time_point now = Clock::now();
    switch (lane.step) {
      case Lane::Step::kWaiting:
        if (lane.tap >= lane.taps || now < lane.due) return;
        lane.insertedAt = Clock::now();
        lane.reader->simulator().insertCard(lane.card());
        lane.step = Lane::Step::kAwaitingToken;
        return;
      case Lane::Step::kAwaitingToken:
        if (const auto arrived = watch_.arrival(lane.token())) {
          lane.latencies.push_back(millisecondsBetween(lane.insertedAt, *arrived));
          if (!lane.removedEvent.empty()) ++lane.removalsExpected;
        } else if (now - lane.insertedAt < kTokenTimeout) {
          return;
        } else {
          ++lane.lost;
          progress(lane.label + ": a tap gave no token within 12 s");
        }
        lane.reader->simulator().removeCard();
        ++lane.tap;
        lane.step = Lane::Step::kAwaitingRemoval;
        lane.due = now + kRemovalTimeout;
        return;
      case Lane::Step::kAwaitingRemoval:
        if (lane.removalsSeen < lane.removalsExpected && now < lane.due) return;
        lane.step = Lane::Step::kWaiting;
        lane.due = now + randomWait(lane);
        return;
    }
  }

  TokenWatch& watch_;
  std::mt19937& random_;
};

// ---- Summaries -----------------------------------------------------------------

std::string seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", ms / 1000);
  return text;
}

// One case of taps: `id` names it in results.json, where scripts/
// service-report finds its target.
struct LatencyRow {
  std::string id;
  std::string label;
  std::vector<double> latencies;
  int lost = 0;
};

Json summary(const LatencyRow& row) {
  const auto slowest = std::max_element(row.latencies.begin(), row.latencies.end());
  return {{"id", row.id},
          {"label", row.label},
          {"ms", row.latencies},
          {"lost", row.lost},
          {"p50_ms", percentile(row.latencies, 0.50)},
          {"p99_ms", percentile(row.latencies, 0.99)},
          {"max_ms", slowest == row.latencies.end() ? 0.0 : *slowest}};
}

// ---- The run -------------------------------------------------------------------

struct Settings {
  int taps = 60;
  int sleepingTaps = 30;
  int idleSeconds = 120;
  int restSeconds = 30;
  int outageSeconds = 5;
  std::string out = ".";
  unsigned seed = 0;
  bool smoke = false;
  bool desfireOnly = false;
};

// A DESFire case: the line's rate, the reply wait, GetSAK or not.
struct DesfireCase {
  int baud;
  bool fixedWait;
  bool getSak;
};

struct BenchReader {
  PluggedReader* reader;
  std::string name;
  bool blockToken;
  bool fleetToken = false;
  // token = "desfire" with these settings of the reader, when set.
  std::optional<std::string> desfire{};
};

class Bench {
 public:
  explicit Bench(const Settings& settings)
      : settings_(settings),
        port_(rfid_tokend_test::freePort()),
        broker_(dir_, "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\n",
                {port_}),
        watch_(port_),
        random_(settings.seed),
        elatec_(Model::kElatec, dir_.file("ttyElatec")),
        vor_(Model::kVor, dir_.file("ttyVor")) {
    ::mkdir(logDir_.c_str(), 0700);
    keyFile_ = dir_.write("keys", "1:A0A1A2A3A4A5\n");
    fleetKeys_ = dir_.write("fleet.toml", kChargerFleetKeys);
    loads_.push_back(loadAverage());
  }

  void run() {
    tapDesfire();
    if (!settings_.desfireOnly) {
      tapAlone("elatec", "Elatec, serial number", elatec_, 0x01, false);
      tapAlone("vor", "VOR, serial number", vor_, 0x02, false);
      tapTogether();
      tapAlone("elatec_block", "Elatec, block 4 (login + read)", elatec_, 0x05, true);
      tapAlone("vor_fleet", "VOR, fleet token (card request, read, verify)", vor_, 0x08, false,
               true);
      tapAlone("elatec_fleet", "Elatec, fleet token (search, login, read, verify)", elatec_, 0x09,
               false, true);
      tapSleepingProvider();
      measureIdle();
    }
    writeResults();
  }

 private:
  // The service over `readers`, up and connected to the broker.
  // `settings`: more of the service's settings, before the readers.
  std::unique_ptr<Service> startService(const std::vector<BenchReader>& readers,
                                        const std::string& settings = "") {
    std::string config = "fleet_keys = \"" + fleetKeys_ + "\"\n" + settings;
    for (const BenchReader& entry : readers) {
      config += std::string("[[reader]]\nmodel = \"") +
                (entry.reader->model() == Model::kVor ? "vor" : "elatec") + "\"\npath = \"" +
                entry.reader->path() + "\"\nname = \"" + entry.name + "\"\n";
      if (entry.blockToken) config += "block = 4\nblock_format = \"ascii\"\n";
      config += std::string("token = \"") +
                (entry.desfire      ? "desfire"
                 : entry.fleetToken ? "fleet"
                 : entry.blockToken ? "block"
                                    : "serial") +
                "\"\n" + entry.desfire.value_or("");
    }
    const int checksBefore = watch_.checks();
    auto service = std::make_unique<Service>(std::vector<std::string>{
        "--jsonl", "--log-dir", logDir_, "--config", dir_.write("tokend.toml", config), "--keys",
        keyFile_, "--mqtt", "127.0.0.1:" + std::to_string(port_), "--module-id", kModuleId});
    bool up =
        rfid_tokend_test::eventually([&] { return watch_.checks() > checksBefore; }, kStartTimeout);
    for (const BenchReader& entry : readers) {
      up = up && service->waitForLine(R"("event":"up","reader":")" + entry.name, kStartTimeout);
    }
    if (!up) throw std::runtime_error("the service did not start; see " + logDir_);
    return service;
  }

  Lane serviceLane(const std::string& label, PluggedReader& reader, const std::string& name,
                   std::uint8_t id, bool blockToken, bool fleetToken = false) const {
    Lane lane;
    lane.fleetToken = fleetToken;
    lane.label = label;
    lane.reader = &reader;
    lane.id = id;
    lane.blockToken = blockToken;
    lane.removedEvent = R"("event":"removed","reader":")" + name + "\"";
    lane.span = 2 * kPollCycle;
    lane.taps = settings_.taps;
    return lane;
  }

  // The lane's summary, added to the results' list `list`.
  Json& finish(const std::string& list, const std::string& id, const Lane& lane) {
    loads_.push_back(loadAverage());
    Json& rows = results_[list];
    rows.push_back(summary({id, lane.label, lane.latencies, lane.lost}));
    progress(lane.label + ": p50 " + seconds(percentile(lane.latencies, 0.5)) + ", p99 " +
             seconds(percentile(lane.latencies, 0.99)));
    return rows.back();
  }

  void tapAlone(const std::string& id, const std::string& label, PluggedReader& reader,
                std::uint8_t lane, bool blockToken, bool fleetToken = false) {
    progress(label + ": " + std::to_string(settings_.taps) + " taps...");
    const auto service = startService({{&reader, "reader", blockToken, fleetToken}});
    std::vector<Lane> lanes = {serviceLane(label, reader, "reader", lane, blockToken, fleetToken)};
    Tapper(watch_, random_).run(lanes, service.get());
    finish("latency", id, lanes[0]);
  }

  // A DESFire tap (tag search, GetSAK unless skipped, SelectApplication, the
  // two authentication steps, ReadData in Full mode) to its token id, on the
  // Elatec reader at each rate, with the quiet wait and with the fixed one.
  void tapDesfire() {
    const DesfireCase cases[] = {{9600, false, true},   {9600, false, false},
                                 {115200, false, true}, {115200, false, false},
                                 {9600, true, true},    {9600, true, false}};
    std::uint8_t id = 0x10;
    for (const DesfireCase& entry : cases) {
      const char* const wait = entry.fixedWait ? "fixed" : "quiet";
      const std::string label = "DESFire token id, " + std::to_string(entry.baud) + " baud, " +
                                wait + " wait, " +
                                (entry.getSak ? "with GetSAK" : "GetSAK skipped");
      progress(label + ": " + std::to_string(settings_.taps) + " taps...");
      rfid_sim::Timing timing = rfid_sim::Timing::typical(Model::kElatec);
      timing.baud = entry.baud;
      elatec_.simulator().setTiming(timing);
      const std::string settings =
          "baud = " + std::to_string(entry.baud) + "\nreply_wait = \"" + wait + "\"\n";
      BenchReader reader{&elatec_, "reader", false};
      reader.desfire = entry.getSak ? "" : "desfire_get_sak = false\n";
      {
        const auto service = startService({reader}, settings);
        Lane lane = serviceLane(label, elatec_, "reader", id++, false);
        lane.desfireToken = true;
        std::vector<Lane> lanes = {lane};
        Tapper(watch_, random_).run(lanes, service.get());
        Json& row = finish("desfire", "desfire", lanes[0]);
        row["baud"] = entry.baud;
        row["wait"] = wait;
        row["get_sak"] = entry.getSak;
      }
      elatec_.simulator().setTiming(rfid_sim::Timing::typical(Model::kElatec));
    }
  }

  void tapTogether() {
    progress("Elatec and VOR together: " + std::to_string(settings_.taps) + " taps each...");
    const auto service = startService({{&elatec_, "elatec", false}, {&vor_, "vor", false}});
    std::vector<Lane> lanes = {
        serviceLane("Elatec beside VOR, serial number", elatec_, "elatec", 0x03, false),
        serviceLane("VOR beside Elatec, serial number", vor_, "vor", 0x04, false)};
    Tapper(watch_, random_).run(lanes, service.get());
    finish("latency", "elatec_beside_vor", lanes[0]);
    finish("latency", "vor_beside_elatec", lanes[1]);
  }

  void tapSleepingProvider() {
    const int taps = settings_.sleepingTaps;
    progress("the provider that sleeps 5 s: " + std::to_string(taps) + " taps...");
    const SleepingProvider provider(elatec_.path(), port_);
    Lane lane;
    lane.label = "a provider sleeping 5 s after each read (Elatec, serial number)";
    lane.reader = &elatec_;
    lane.id = 0x06;
    lane.span = kPollCycle + kSleepingProviderPause;
    lane.taps = taps;
    std::vector<Lane> lanes = {lane};
    Tapper(watch_, random_).run(lanes, nullptr);
    finish("latency", "sleeping", lanes[0]);
  }

  // System calls per idle poll of each worker, after the CPU window (the
  // tracer slows what it traces): every request of an idle reader is a
  // card search of the same length, so the simulator's bytes give the
  // requests.
  void countIdleSystemCalls(const std::vector<ProcessSample>& processes) {
    const int seconds = std::min(settings_.idleSeconds, kSystemCallWindowSeconds);
    for (auto [reader, name, requestBytes] : {std::tuple{&elatec_, "elatec", kElatecSearchBytes},
                                              std::tuple{&vor_, "vor", kVorRequestBytes}}) {
      const auto worker = std::find_if(
          processes.begin(), processes.end(),
          [&](const ProcessSample& p) { return p.role == std::string("worker, ") + name; });
      if (worker == processes.end()) continue;
      progress(std::string("system calls of the idle ") + name +
               " worker: " + std::to_string(seconds) + " s...");
      const unsigned long bytesBefore = reader->simulator().bytesReceived();
      const long calls = countSystemCalls(worker->pid, seconds);
      const double polls =
          static_cast<double>(reader->simulator().bytesReceived() - bytesBefore) / requestBytes;
      results_["idle_system_calls"].push_back(
          {{"reader", name},
           {"seconds", seconds},
           {"calls", calls},
           {"polls", polls},
           {"per_poll", calls >= 0 && polls > 0 ? calls / polls : -1.0}});
    }
  }

  // Two readers polling with no card: CPU, memory and log lines over the
  // idle window; then log lines while a card rests on each reader, and for
  // one outage of each.
  void measureIdle() {
    progress("idle cost: " + std::to_string(settings_.idleSeconds) + " s...");
    const auto service = startService({{&elatec_, "elatec", false}, {&vor_, "vor", false}});
    std::this_thread::sleep_for(std::chrono::seconds(2));  // past the start
    const auto before = sampleService(service->pid());
    const int linesBefore = logEntries(logDir_);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(settings_.idleSeconds));
    const auto after = sampleService(service->pid());
    const double window = std::chrono::duration<double>(Clock::now() - start).count();
    const double idleLines = (logEntries(logDir_) - linesBefore) * 3600.0 / window;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (const ProcessSample& sample : after) {
      const auto earlier = std::find_if(before.begin(), before.end(), [&](const ProcessSample& s) {
        return s.pid == sample.pid;
      });
      if (earlier == before.end()) continue;
      const long long ticks = sample.cpuTicks - earlier->cpuTicks;
      const long long runNs = sample.runNs - earlier->runNs;
      results_["idle"].push_back({{"role", sample.role},
                                  {"cpu_ticks", ticks},
                                  {"run_ns", runNs},
                                  {"window_s", window},
                                  {"cpu_percent", 100 * static_cast<double>(ticks) / tick / window},
                                  {"run_percent", 100 * static_cast<double>(runNs) / 1e9 / window},
                                  {"rss_kib", sample.rssKiB},
                                  {"pss_kib", sample.pssKiB}});
    }
    loads_.push_back(loadAverage());
    countIdleSystemCalls(after);

    int tap = 0;
    for (auto [reader, name] : {std::pair{&elatec_, "elatec"}, std::pair{&vor_, "vor"}}) {
      progress(std::string("log volume of ") + name + ": a resting card, an outage...");
      const std::string removed = R"("event":"removed","reader":")" + std::string(name);
      const int removedBefore = service->countLines(removed);
      const int tapBefore = logEntries(logDir_);
      reader->simulator().insertCard(tapCard(0x07, tap));
      if (!rfid_tokend_test::eventually(
              [&] { return watch_.arrival(serialTokenOf(0x07, tap)).has_value(); },
              kTokenTimeout)) {
        throw std::runtime_error(std::string("no token from the resting card on ") + name);
      }
      // The tap's own entries (the card found, on VOR its halt), then the
      // card at rest.
      std::this_thread::sleep_for(std::chrono::seconds(1));
      const int restBefore = logEntries(logDir_);
      tapLines_[name] = restBefore - tapBefore;
      const std::size_t restBytesBefore = rfid_tokend_test::monthlyLog(logDir_).size();
      const auto restStart = Clock::now();
      std::this_thread::sleep_for(std::chrono::seconds(settings_.restSeconds));
      const double restWindow = std::chrono::duration<double>(Clock::now() - restStart).count();
      restingLines_[name] = (logEntries(logDir_) - restBefore) * 3600.0 / restWindow;
      restingBytes_[name] =
          static_cast<double>(rfid_tokend_test::monthlyLog(logDir_).size() - restBytesBefore) *
          3600.0 / restWindow;
      reader->simulator().removeCard();
      ++tap;
      service->waitForLine(removed, kRemovalTimeout, removedBefore + 1);
      std::this_thread::sleep_for(std::chrono::seconds(1));

      const std::string event = R"(","reader":")" + std::string(name);
      const int downs = service->countLines(R"("event":"down)" + event);
      const int ups = service->countLines(R"("event":"up)" + event);
      const int outageBefore = logEntries(logDir_);
      reader->unplug();
      service->waitForLine(R"("event":"down)" + event, kStartTimeout, downs + 1);
      std::this_thread::sleep_for(std::chrono::seconds(settings_.outageSeconds));
      reader->plug();
      if (!service->waitForLine(R"("event":"up)" + event, kStartTimeout, ups + 1)) {
        throw std::runtime_error(std::string("the service did not reopen ") + name);
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
      outageLines_[name] = logEntries(logDir_) - outageBefore;
    }
    results_["log_lines_per_hour"] = {{"idle", idleLines},
                                      {"resting", restingLines_},
                                      {"resting_bytes", restingBytes_},
                                      {"tap", tapLines_}};
    results_["log_lines_per_outage"] = outageLines_;
    loads_.push_back(loadAverage());
  }

  // Everything measured, and what scripts/service-report needs to say
  // where and how: the machine, the run's settings, the load around it.
  void writeResults() {
    utsname system{};
    ::uname(&system);
    const std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
    results_["run"] = {{"date", date},
                       {"cores", std::thread::hardware_concurrency()},
                       {"kernel", system.release},
                       {"build_type", RFID_BUILD_TYPE},
                       {"smoke", settings_.smoke},
                       {"desfire_only", settings_.desfireOnly},
                       {"seed", settings_.seed},
                       {"taps", settings_.taps},
                       {"sleeping_taps", settings_.sleepingTaps},
                       {"idle_seconds", settings_.idleSeconds},
                       {"rest_seconds", settings_.restSeconds},
                       {"outage_seconds", settings_.outageSeconds},
                       {"load_average", loads_}};
    std::ofstream(settings_.out + "/results.json") << results_.dump(1) << "\n";
  }

  Settings settings_;
  TempDir dir_;
  std::string logDir_ = dir_.file("log");
  std::string keyFile_;
  std::string fleetKeys_;
  int port_;
  Broker broker_;
  TokenWatch watch_;
  std::mt19937 random_;
  PluggedReader elatec_;
  PluggedReader vor_;

  Json results_;
  std::vector<double> loads_;
  std::map<std::string, int> tapLines_;
  std::map<std::string, double> restingLines_;
  std::map<std::string, double> restingBytes_;  // per hour
  std::map<std::string, int> outageLines_;
};

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  settings.seed = std::random_device{}();
  CLI::App app("Measures rfid-tokend end to end; scripts/service-report runs it.",
               "rfid_tokend_bench");
  app.add_option("--taps", settings.taps, "taps per case of the service")
      ->check(CLI::Range(1, 9999));
  app.add_option("--sleeping-taps", settings.sleepingTaps, "taps of the provider that sleeps 5 s")
      ->check(CLI::Range(1, 9999));
  app.add_option("--idle-seconds", settings.idleSeconds, "the idle window")
      ->check(CLI::Range(1, 3600));
  app.add_option("--rest-seconds", settings.restSeconds, "the window with a card resting")
      ->check(CLI::Range(1, 3600));
  app.add_option("--outage-seconds", settings.outageSeconds, "how long a reader stays unplugged")
      ->check(CLI::Range(1, 600));
  app.add_option("--out", settings.out, "directory of results.json")->required();
  app.add_option("--seed", settings.seed, "of the random waits (default: random)");
  app.add_flag("--smoke", settings.smoke, "says in the report that figures are not meaningful");
  app.add_flag("--desfire", settings.desfireOnly, "the DESFire cases only");
  CLI11_PARSE(app, argc, argv);

  // The module's log lines of the provider that sleeps go to a scratch
  // directory, and its console lines to this program's standard output.
  const TempDir logDir;
  if (rfidSetLogDirectory(logDir.path().c_str()) != 0) {
    std::fprintf(stderr, "service-report: cannot log to %s\n", logDir.path().c_str());
    return 1;
  }
  try {
    Bench bench(settings);
    bench.run();
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "service-report: %s\n", error.what());
    return 1;
  }
}
