#include "rfidctl_args.h"

#include <algorithm>
#include <cstdlib>

#include "rfid_sim/hex.h"

namespace rfid_tools {

const char kUsage[] =
    "usage: rfidctl (--port PATH [--baud N] | --simulate [--card-file PATH] [--no-card] [--fast])\n"
    "               --model vor|elatec [options] COMMAND [ARGS]\n"
    "commands:\n"
    "  identify               serial number of the card in the field\n"
    "  read BLOCK             one block (0-63)\n"
    "  write BLOCK HEX32      16 bytes as 32 hex digits\n"
    "  login BLOCK            log in to the block's sector (elatec)\n"
    "  dump [--save PATH]     all 64 blocks; --save writes a 1024-byte dump\n"
    "  halt                   halt the card (vor)\n"
    "  buzz TIME              sound the buzzer, TIME 0-10 (vor)\n"
    "  beep SOUND             beep, SOUND 0-255 passed to the reader (elatec)\n"
    "  watch [--count N] [--interval MS]   print each card as it arrives\n"
    "options:\n"
    "  --key HEX12            key of every sector (default FFFFFFFFFFFF)\n"
    "  --sector-key S:HEX12   key of sector S (0-15); repeatable\n"
    "  --key-selector K       0 key A, 1 key B (default 0)\n"
    "  --json                 one JSON object on the last line of standard output\n"
    "  --quiet                keep the module's log lines off the console\n"
    "  --log-dir DIR          directory of the module's monthly log file\n"
    "exit status: 0 success, 1 the reader or card refused or no card, 2 bad usage or port\n";

namespace {

struct CommandName {
  const char* name;
  Command command;
  int arguments;
};
constexpr CommandName kCommands[] = {
    {"identify", Command::kIdentify, 0}, {"read", Command::kRead, 1}, {"write", Command::kWrite, 2},
    {"login", Command::kLogin, 1},       {"dump", Command::kDump, 0}, {"halt", Command::kHalt, 0},
    {"buzz", Command::kBuzz, 1},         {"beep", Command::kBeep, 1}, {"watch", Command::kWatch, 0},
};

constexpr int kMaxBuzzerTime = 10;
constexpr int kMaxSound = 255;
constexpr int kMaxKeySelector = 255;
constexpr int kMaxSector = 15;
constexpr int kMaxBlock = 63;

// A whole decimal number within [low, high], or nothing.
std::optional<int> parseInteger(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < low || value > high) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<std::array<std::uint8_t, 6>> parseKey(const std::string& text) {
  const auto bytes = text.size() == 12 ? rfid_sim::fromHex(text) : std::nullopt;
  if (!bytes) return std::nullopt;
  std::array<std::uint8_t, 6> key{};
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

std::optional<std::string> parseBlock(const std::string& text, int& block) {
  const auto value = parseInteger(text, 0, kMaxBlock);
  if (!value) return "block " + text + " is out of range: use 0 to 63";
  block = *value;
  return std::nullopt;
}

// The command's own arguments, positional.
std::optional<std::string> parseCommandArguments(const std::vector<std::string>& args,
                                                 Options& options) {
  switch (options.command) {
    case Command::kRead:
    case Command::kLogin:
      return parseBlock(args[0], options.block);
    case Command::kWrite: {
      if (auto error = parseBlock(args[0], options.block)) return error;
      const auto bytes = args[1].size() == 32 ? rfid_sim::fromHex(args[1]) : std::nullopt;
      if (!bytes) {
        return "write takes 16 bytes as 32 hex digits, got '" + args[1] + "' (" +
               std::to_string(args[1].size()) + " characters)";
      }
      std::copy(bytes->begin(), bytes->end(), options.data.begin());
      return std::nullopt;
    }
    case Command::kBuzz: {
      const auto value = parseInteger(args[0], 0, kMaxBuzzerTime);
      if (!value) return "buzz TIME must be 0 to 10, got '" + args[0] + "'";
      options.value = *value;
      return std::nullopt;
    }
    case Command::kBeep: {
      const auto value = parseInteger(args[0], 0, kMaxSound);
      if (!value) return "beep SOUND must be 0 to 255, got '" + args[0] + "'";
      options.value = *value;
      return std::nullopt;
    }
    case Command::kIdentify:
    case Command::kDump:
    case Command::kHalt:
    case Command::kWatch:
      return std::nullopt;
  }
  return std::nullopt;
}

// Rules between options and commands, once everything is parsed.
std::optional<std::string> checkCombination(const Options& options, bool modelGiven) {
  if (!modelGiven) return std::string("say which reader: --model vor or --model elatec");
  if (options.simulate && !options.port.empty()) {
    return std::string("use either --port PATH or --simulate, not both");
  }
  if (!options.simulate && options.port.empty()) {
    return std::string("no reader port: pass --port PATH (e.g. /dev/ttyUSB0) or --simulate");
  }
  if (!options.simulate && (!options.cardFile.empty() || options.noCard || options.fast)) {
    return std::string("--card-file, --no-card and --fast apply to --simulate only");
  }
  if (!options.cardFile.empty() && options.noCard) {
    return std::string("--card-file and --no-card contradict each other");
  }
  if (!options.savePath.empty() && options.command != Command::kDump) {
    return std::string("--save belongs to the dump command");
  }
  const bool vor = options.model == rfid_sim::Model::kVor;
  if (options.command == Command::kLogin && vor) {
    return std::string("login is for --model elatec; vor requests carry the key themselves");
  }
  if ((options.command == Command::kHalt || options.command == Command::kBuzz) && !vor) {
    return options.commandName + " is for --model vor; the elatec reader has beep";
  }
  if (options.command == Command::kBeep && vor) {
    return std::string("beep is for --model elatec; the vor reader has buzz");
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> parseArguments(int argc, char** argv, Options& options) {
  std::vector<std::string> positional;
  bool modelGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return std::nullopt;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
      continue;
    }
    // Flags without a value.
    if (arg == "--simulate") {
      options.simulate = true;
    } else if (arg == "--no-card") {
      options.noCard = true;
    } else if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else {
      static const char* const kWithValue[] = {
          "--port",         "--baud",    "--model", "--card-file", "--key",     "--sector-key",
          "--key-selector", "--log-dir", "--save",  "--count",     "--interval"};
      if (std::find(std::begin(kWithValue), std::end(kWithValue), arg) == std::end(kWithValue)) {
        return "unknown option " + arg + " (rfidctl --help lists them)";
      }
      if (i + 1 >= argc) return arg + " needs a value";
      const std::string value = argv[++i];
      if (arg == "--port") {
        if (value.empty()) return std::string("--port needs a path, e.g. /dev/ttyUSB0");
        options.port = value;
      } else if (arg == "--baud") {
        const auto baud = parseInteger(value, 1, 4000000);
        if (!baud || rfid_serial::baudConstant(*baud) == 0) {
          return "--baud " + value +
                 " is not offered: use 1200, 2400, 4800, 9600, 19200, 38400, "
                 "57600, 115200 or 230400";
        }
        options.baud = *baud;
      } else if (arg == "--model") {
        const auto model = rfid_sim::modelFromName(value);
        if (!model) return "--model must be vor or elatec, got '" + value + "'";
        options.model = *model;
        modelGiven = true;
      } else if (arg == "--card-file") {
        options.cardFile = value;
      } else if (arg == "--key") {
        options.key = parseKey(value);
        if (!options.key) return "--key takes 12 hex digits (6 bytes), got '" + value + "'";
      } else if (arg == "--sector-key") {
        const std::size_t colon = value.find(':');
        const auto sector = colon == std::string::npos
                                ? std::nullopt
                                : parseInteger(value.substr(0, colon), 0, kMaxSector);
        const auto key =
            colon == std::string::npos ? std::nullopt : parseKey(value.substr(colon + 1));
        if (!sector || !key) {
          return "--sector-key takes S:HEX12, a sector 0 to 15 and 12 hex digits, got '" + value +
                 "'";
        }
        options.sectorKeys.push_back({*sector, *key});
      } else if (arg == "--key-selector") {
        const auto selector = parseInteger(value, 0, kMaxKeySelector);
        if (!selector) return "--key-selector takes 0 (key A), 1 (key B) or another byte value";
        options.keySelector = static_cast<std::uint8_t>(*selector);
      } else if (arg == "--log-dir") {
        options.logDir = value;
      } else if (arg == "--save") {
        options.savePath = value;
      } else if (arg == "--count") {
        const auto count = parseInteger(value, 1, 1000000);
        if (!count) return "--count takes a number of cards, 1 or more";
        options.count = *count;
      } else {
        const auto interval = parseInteger(value, 0, 3600000);
        if (!interval) return "--interval takes milliseconds between polls, 0 or more";
        options.intervalMs = *interval;
      }
    }
  }

  if (positional.empty()) {
    return std::string("no command: try identify, read, write or dump (rfidctl --help)");
  }
  options.commandName = positional[0];
  const CommandName* entry =
      std::find_if(std::begin(kCommands), std::end(kCommands),
                   [&](const CommandName& c) { return options.commandName == c.name; });
  if (entry == std::end(kCommands)) {
    return "unknown command '" + options.commandName + "' (rfidctl --help lists them)";
  }
  options.command = entry->command;
  const std::vector<std::string> args(positional.begin() + 1, positional.end());
  if (static_cast<int>(args.size()) != entry->arguments) {
    static const char* const kShapes[] = {"identify",    "read BLOCK", "write BLOCK HEX32",
                                          "login BLOCK", "dump",       "halt",
                                          "buzz TIME",   "beep SOUND", "watch"};
    return options.commandName + " takes " + std::to_string(entry->arguments) +
           " argument(s): rfidctl ... " + kShapes[entry - std::begin(kCommands)];
  }
  if (auto error = parseCommandArguments(args, options)) return error;
  return checkCombination(options, modelGiven);
}

}  // namespace rfid_tools
