// rfid-demo: one host session on a simulated reader of each model, through
// the module's own functions and with its real half-second exchanges, so a
// new user sees what a host sees: the calls, their results and the
// module's log lines.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "host.h"
#include "rfid_host/log_file.h"
#include "rfid_serial/serial_port.h"
#include "rfid_sim/simulator.h"

namespace {

using rfid_tools::Block;
using rfid_tools::Model;

constexpr int kDemoBlock = 4;
constexpr char kDemoText[] = "Hello, charger! ";
static_assert(sizeof kDemoText - 1 == 16, "one block of text");

void host(const char* call, bool result, const std::string& detail = "") {
  std::fflush(stdout);
  std::printf("host> %s -> %s%s%s\n", call, result ? "true" : "false", detail.empty() ? "" : ", ",
              detail.c_str());
  std::fflush(stdout);
}

std::string blockText(const Block& data) {
  return rfid_tools::formatBlock(data);
}

// The module's call behind each model's sound, as the session shows it.
void sound(const rfid_tools::ReaderHost& reader) {
  if (reader.model() == Model::kVor) {
    (void)reader.sound(3);
    std::printf("host> setBuzzer(fd, MODULE_VOR, 3)\n");
  } else {
    const bool beeped = reader.sound(50);
    host("SetBeep(fd, MODULE_ELATEC, 50)", beeped, "then the host waits out the beep");
  }
}

// Identify, log in where the model needs it, read, write, read back, sound.
bool session(Model model) {
  const rfid_sim::Simulator simulator(model, rfid_sim::Card::demo());
  std::string error;
  const rfid_serial::UniqueFd port =
      rfid_serial::openSerialPort(simulator.portPath(), rfid_serial::kDefaultBaud, error);
  if (!port.valid()) {
    std::fprintf(stderr, "rfid-demo: %s\n", error.c_str());
    return false;
  }
  const bool vor = model == Model::kVor;
  std::printf("\n== %s reader (simulated) on %s ==\n",
              vor ? "MODULE_VOR checksummed" : "MODULE_ELATEC length-prefixed",
              simulator.portPath().c_str());
  const std::unique_ptr<rfid_tools::ReaderHost> made = rfid_tools::makeReader(port.get(), model, 0);
  const rfid_tools::ReaderHost& reader = *made;

  std::vector<std::uint8_t> serial;
  bool ok = reader.identify(serial);
  host(vor ? "getRequestCardSN(fd, MODULE_VOR, serial)"
           : "searchTag(fd, MODULE_ELATEC, serial, SEARCH)",
       ok, ok ? "serial " + rfid_tools::toHex(serial) : "");
  if (!ok) return false;
  if (!vor) {
    ok = reader.login(kDemoBlock);
    host("MifareClassic_Login(fd, MODULE_ELATEC, 4, 0 /* key A */)", ok);
    if (!ok) return false;
  }

  Block before{};
  ok = reader.read(kDemoBlock, before);
  host(vor ? "getBlockRead(fd, MODULE_VOR, 4, 0 /* key A */, data)"
           : "MifareClassic_ReadBlock(fd, MODULE_ELATEC, 4, data)",
       ok, blockText(before));
  Block written{};
  std::memcpy(written.data(), kDemoText, written.size());
  ok = ok && reader.write(kDemoBlock, written);
  host(vor ? "setBlockWrite(fd, MODULE_VOR, 4, 0, \"Hello, charger! \")"
           : "MifareClassic_WriteBlock(fd, MODULE_ELATEC, 4, \"Hello, charger! \")",
       ok);
  Block after{};
  ok = ok && reader.read(kDemoBlock, after) && after == written;
  host(vor ? "getBlockRead(fd, MODULE_VOR, 4, 0, data)"
           : "MifareClassic_ReadBlock(fd, MODULE_ELATEC, 4, data)",
       ok, blockText(after));

  sound(reader);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string logDir;
  CLI::App app("A host session on a simulated reader of each model.", "rfid-demo");
  app.add_option("--log-dir", logDir, "directory of the module's monthly log file, made if missing")
      ->type_name("DIR");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "rfid-demo: %s (usage: rfid-demo [--log-dir DIR])\n", error.what());
    return 2;
  }
  if (!logDir.empty()) {
    // The module never creates its log directory; on a charger it belongs to
    // the system. This development tool makes its own.
    if (::mkdir(logDir.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "rfid-demo: cannot create %s: %s\n", logDir.c_str(),
                   std::strerror(errno));
      return 2;
    }
    if (rfidSetLogDirectory(logDir.c_str()) != 0) {
      std::fprintf(stderr, "rfid-demo: --log-dir %s is too long for the log file\n",
                   logDir.c_str());
      return 2;
    }
  }
  std::printf(
      "A host session on a simulated reader of each model, with the module's real\n"
      "half-second exchanges; lines with a time stamp are the module's own log.\n");
  bool ok = false;
  try {
    ok = session(Model::kVor) && session(Model::kElatec);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "rfid-demo: %s\n", error.what());
    return 1;
  }
  std::printf("\n%s. The module's log file: %s/%s\n", ok ? "Demo complete" : "Demo FAILED",
              logDir.empty() ? RFID_DEMO_LOG_DIR : logDir.c_str(),
              rfid_host::monthlyLogFileName().c_str());
  return ok ? 0 : 1;
}
