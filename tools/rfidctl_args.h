// rfidctl's command line, checked whole before any port is opened, so bad
// input never puts a request on the wire.
#ifndef RFID_TOOLS_RFIDCTL_ARGS_H
#define RFID_TOOLS_RFIDCTL_ARGS_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "rfid_sim/reader.h"

namespace rfid_tools {

enum class Command { kIdentify, kRead, kWrite, kLogin, kDump, kHalt, kBuzz, kBeep, kWatch };

struct SectorKey {
  int sector;
  std::array<std::uint8_t, 6> key;
};

struct Options {
  Command command = Command::kIdentify;
  std::string commandName;
  rfid_sim::Model model = rfid_sim::Model::kVor;
  std::string port;  // empty with --simulate
  int baud = rfid_serial::kDefaultBaud;
  bool simulate = false;
  std::string cardFile;  // --simulate only
  bool noCard = false;   // --simulate only
  bool fast = false;     // --simulate only
  std::optional<std::array<std::uint8_t, 6>> key;
  std::vector<SectorKey> sectorKeys;
  std::uint8_t keySelector = 0;
  bool json = false;
  bool quiet = false;
  std::string logDir;
  std::string savePath;  // dump --save
  int block = 0;
  Block data{};
  int value = 0;          // buzz TIME, beep SOUND
  int count = 0;          // watch --count: stop after this many cards; 0 runs until stopped
  int intervalMs = 1000;  // watch --interval
  bool help = false;
};

// Fills `options` from the arguments, or returns a one-line message that
// says what is wrong and what to do.
std::optional<std::string> parseArguments(int argc, char** argv, Options& options);

extern const char kUsage[];

}  // namespace rfid_tools

#endif  // RFID_TOOLS_RFIDCTL_ARGS_H
