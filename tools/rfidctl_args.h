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
#include "rfid_image/image_file.h"
#include "rfid_keys/key_file.h"
#include "rfid_serial/serial_port.h"

namespace rfid_tools {

enum class Command {
  kIdentify,
  kRead,
  kWrite,
  kLogin,
  kDump,
  kKeys,
  kRestore,
  kHalt,
  kBuzz,
  kBeep,
  kWatch,
  kProvision,
  kVerify,
  kUnprovision,
  kDesfire
};

struct Options {
  Command command = Command::kIdentify;
  std::string commandName;
  Model model = Model::kVor;
  std::string port;  // empty with --simulate
  int baud = rfid_serial::kDefaultBaud;
  bool simulate = false;
  std::string cardFile;                // --simulate only
  bool noCard = false;                 // --simulate only
  bool fast = false;                   // --simulate only
  std::string simulatedCard;           // --simulate --card KIND: a DESFire card of the simulator
  unsigned long leaveAfterWrites = 0;  // --simulate only: the card leaves after this many writes
  bool quietWait = true;               // --reply-wait quiet (default) or fixed
  int quietMs = 20;                    // --quiet-ms
  std::optional<rfid_keys::Key> key;   // --key, for every sector
  std::string keysPath;                // --keys FILE
  rfid_keys::KeyFileKeys keyFile;      // as read; its keys of the selector go to fileKeys
  rfid_keys::SectorKeys fileKeys;      // --keys FILE, over --key
  rfid_keys::SectorKeys sectorKeys;    // --sector-key, over both
  int keySelector = 0;                 // 0 to 255, passed to the reader
  bool json = false;
  bool quiet = false;
  std::string logDir;
  std::string savePath;                      // dump --save
  std::optional<rfid_image::Format> format;  // dump --format, restore --format
  std::vector<rfid_keys::Key> dictionary;    // keys --dict, in the file's order
  std::string saveKeysPath;                  // keys --save-keys
  std::string imagePath;                     // restore PATH
  bool withTrailers = false;                 // restore --with-trailers (needs --yes)
  bool yes = false;
  bool dryRun = false;
  int block = 0;
  Block data{};
  int value = 0;          // buzz TIME, beep SOUND
  int count = 0;          // watch --count: stop after this many cards; 0 runs until stopped
  int intervalMs = 1000;  // watch --interval
  // provision, verify, unprovision (fleet_args.cpp)
  std::string fleetPath;                  // --fleet
  std::string tokenIdText;                // provision --token-id, as given
  std::array<std::uint8_t, 6> tokenId{};  // ... once checked
  std::string macKeyIdText;               // provision --mac-key-id, as given
  int macKeyId = 0;                       // ... once checked; 0: the file's highest id
  std::string desfireAction;              // desfire info|provision|verify|unprovision
};

// Why parsing ends without a command to run.
struct ParseStop {
  // True: `text` is the help, for standard output, and the tool exits 0.
  // False: `text` is a usage fault in one line, what is wrong and what to
  // do, and the tool exits 2.
  bool help = false;
  std::string text;
};

// Fills `options` from the arguments; nothing when the command is to run.
// On a usage fault `options.json` still tells whether --json was given.
std::optional<ParseStop> parseArguments(int argc, const char* const* argv, Options& options);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_RFIDCTL_ARGS_H
