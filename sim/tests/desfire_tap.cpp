// Figures, not a test: the time from a DESFire fleet card's tap to its
// token through the module (searchTag, GetSAK unless skipped, the four TDX
// exchanges of the charger's read) on the paced simulated Elatec reader,
// p50 and p99 over N taps. scripts/desfire-tap-report runs it.
// Usage: rfid_desfire_tap BAUD quiet|fixed sak|nosak TAPS
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "rfid_desfire/module_link.h"
#include "rfid_serial/serial_port.h"
#include "rfid_sim/desfire_fixtures.h"
#include "rfid_sim/simulator.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s BAUD quiet|fixed sak|nosak TAPS\n", argv[0]);
    return 2;
  }
  const int baud = std::atoi(argv[1]);
  const bool quiet = std::string(argv[2]) == "quiet";
  const bool skipSak = std::string(argv[3]) == "nosak";
  const int taps = std::atoi(argv[4]);
  char logDir[] = "/tmp/rfid-desfire-tap-XXXXXX";
  if (::mkdtemp(logDir) == nullptr) return 1;
  if (rfidSetLogDirectory(logDir) != 0) return 1;
  if (::freopen("/dev/null", "w", stdout) == nullptr) return 1;  // the module's console lines

  rfid_sim::Simulator simulator(
      rfid_sim::Model::kElatec,
      rfid_sim::Card::desfire(rfid_sim::desfireCard(rfid_sim::DesfireKind::kGenuine)));
  rfid_sim::Timing timing = rfid_sim::Timing::typical(rfid_sim::Model::kElatec);
  timing.baud = baud;
  simulator.setTiming(timing);
  const int fd = ::open(simulator.portPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 || !rfid_serial::configureRawPort(fd, baud)) return 1;
  rfidSetReplyWait(quiet ? RFID_REPLY_WAIT_QUIET : RFID_REPLY_WAIT_FIXED, 20);

  const rfid_sim::DesfireFleet fleet = rfid_sim::exampleFleet();
  rfid_desfire::ReaderKeys keys;
  keys.readKey = fleet.readKey;
  std::vector<double> seconds;
  int valid = 0;
  for (int tap = 0; tap < taps; ++tap) {
    simulator.removeCard();
    simulator.insertCard();
    const auto start = std::chrono::steady_clock::now();
    unsigned char record[8] = {};
    if (searchTag(fd, RFID_MODULE_ELATEC, record, RFID_STAGE_SEARCH)) {
      const rfid_desfire::Bytes serial(record + 1, record + 1 + record[0]);
      const auto read = rfid_desfire::readFleetCardWithModule(fd, keys, serial, skipSak);
      valid += read.verdict == rfid_desfire::ReadVerdict::kValid ? 1 : 0;
    }
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  ::close(fd);
  std::sort(seconds.begin(), seconds.end());
  const auto at = [&](double q) {
    const std::size_t i =
        std::min(seconds.size() - 1, static_cast<std::size_t>(q * seconds.size()));
    return seconds[i];
  };
  std::fprintf(stderr, "%d baud, %s wait, %s: %d taps, %d valid, p50 %.3f s, p99 %.3f s\n", baud,
               quiet ? "quiet" : "fixed", skipSak ? "no GetSAK" : "GetSAK", taps, valid, at(0.5),
               at(0.99));
  const std::string cleanup = std::string("rm -rf ") + logDir;
  return std::system(cleanup.c_str()) == 0 && valid == taps ? 0 : 1;
}
