#include "rfidctl_args.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "fleet_args.h"
#include "rfid_host/cli_option.h"
#include "rfid_sim/desfire_fixtures.h"

namespace rfid_tools {
namespace {

constexpr int kMaxBlock = 63;
constexpr int kMaxSector = 15;
constexpr int kMaxBuzzerTime = 10;
constexpr int kMaxSound = 255;
constexpr int kMaxKeySelector = 255;
constexpr int kMaxBaud = 4000000;
constexpr int kMaxCount = 1000000;
constexpr int kMaxIntervalMs = 3600000;
constexpr int kMaxQuietMs = 100;

using rfid_host::addParsed;
using rfid_host::BadArgument;

// A whole decimal number within [low, high], or nothing. Signs, spaces and
// trailing text are refused, so "-1" and "4x" never pass as numbers.
std::optional<int> parseInteger(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < low || value > high) return std::nullopt;
  return static_cast<int>(value);
}

// A whole number within [low, high] into `target`.
CLI::Option* addNumber(CLI::App& app, const std::string& name, int& target, int low, int high,
                       const std::string& fault, const std::string& help) {
  return addParsed(
      app, name, target,
      [low, high](const std::string& text) { return parseInteger(text, low, high); }, fault, help);
}

// ---- Each command's own arguments ------------------------------------------

void noArguments(CLI::App& /*command*/, Options& /*options*/) {}

void blockArgument(CLI::App& command, Options& options) {
  positional(addNumber(command, "BLOCK", options.block, 0, kMaxBlock,
                       "block {} is out of range: use 0 to 63", "block number, 0 to 63"));
}

void writeArguments(CLI::App& command, Options& options) {
  blockArgument(command, options);
  const auto setData = [&options](const std::string& text) {
    const auto bytes = text.size() == 2 * options.data.size() ? fromHex(text) : std::nullopt;
    if (!bytes) {
      throw BadArgument("write takes 16 bytes as 32 hex digits, got '" + text + "' (" +
                        std::to_string(text.size()) + " characters)");
    }
    std::copy(bytes->begin(), bytes->end(), options.data.begin());
  };
  positional(command.add_option_function<std::string>("HEX32", setData,
                                                      "the block's 16 bytes as 32 hex digits"));
}

void buzzArgument(CLI::App& command, Options& options) {
  positional(addNumber(command, "TIME", options.value, 0, kMaxBuzzerTime,
                       "buzz TIME must be 0 to 10, got '{}'", "0 to 10"));
}

void beepArgument(CLI::App& command, Options& options) {
  positional(addNumber(command, "SOUND", options.value, 0, kMaxSound,
                       "beep SOUND must be 0 to 255, got '{}'", "0 to 255, passed to the reader"));
}

void formatOption(CLI::App& command, Options& options) {
  addParsed(command, "--format", options.format, rfid_image::formatFromName,
            "--format must be mfd, bin, eml, json, mct or nfc",
            "the file's format (default: by its extension; binary for any other)")
      ->type_name("mfd|bin|eml|json|mct|nfc");
}

void dumpOptions(CLI::App& command, Options& options) {
  command
      .add_option("--save", options.savePath,
                  "also write the card to PATH as a card dump (a DESFire card: its card file)")
      ->type_name("PATH");
  formatOption(command, options);
  fleetOption(command, options,
              "DESFire: read the fleet application with this fleet key file's keys; the "
              "bench's file (desfire.master_key) also saves keys 0 and 1");
}

void keysOptions(CLI::App& command, Options& options) {
  command
      .add_option_function<std::string>(
          "--dict",
          [&options](const std::string& path) {
            if (const auto fault = rfid_keys::readKeyList(path, options.dictionary)) {
              throw BadArgument(*fault);
            }
            if (options.dictionary.empty()) {
              throw BadArgument("key dictionary " + path + " holds no key");
            }
          },
          "the keys to try, 12 hex digits a line; '#' starts a comment")
      ->type_name("FILE");
  command
      .add_option("--save-keys", options.saveKeysPath,
                  "write the keys found as a key file for --keys (mode 0600); FILE.bin: the "
                  "Proxmark3's binary layout")
      ->type_name("FILE");
}

void restoreOptions(CLI::App& command, Options& options) {
  positional(command.add_option("PATH", options.imagePath, "the card dump to write back"));
  formatOption(command, options);
  command.add_flag("--with-trailers", options.withTrailers,
                   "also write the sector trailers (keys and access bits); needs --yes");
  command.add_flag("--yes", options.yes, "confirms --with-trailers");
  command.add_flag("--dry-run", options.dryRun, "print what would be written, write nothing");
}

void watchOptions(CLI::App& command, Options& options) {
  addNumber(command, "--count", options.count, 1, kMaxCount,
            "--count takes a number of cards, 1 or more",
            "stop after N cards (default: until Ctrl-C)")
      ->type_name("N");
  addNumber(command, "--interval", options.intervalMs, 0, kMaxIntervalMs,
            "--interval takes milliseconds between polls, 0 or more",
            "pause between polls (default 1000)")
      ->type_name("MS");
}

struct CommandEntry {
  Command command;
  const char* name;
  const char* arguments;  // what follows the name, as the help shows it
  const char* summary;
  void (*setUp)(CLI::App& command, Options& options);
};

constexpr CommandEntry kCommands[] = {
    {Command::kIdentify, "identify", "", "serial number of the card in the field", noArguments},
    {Command::kRead, "read", "BLOCK", "one block (0-63)", blockArgument},
    {Command::kWrite, "write", "BLOCK HEX32", "16 bytes as 32 hex digits", writeArguments},
    {Command::kLogin, "login", "BLOCK", "log in to the block's sector (elatec)", blockArgument},
    {Command::kDump, "dump", "[--save PATH [--format F]]",
     "all 64 blocks; --save writes a card dump (.mfd .bin .eml .json .mct .nfc)", dumpOptions},
    {Command::kKeys, "keys", "--dict FILE [--save-keys FILE]",
     "find which key of a dictionary opens each sector", keysOptions},
    {Command::kRestore, "restore", "PATH [--with-trailers --yes] [--dry-run]",
     "write a dump's data blocks back to the card and read them back", restoreOptions},
    {Command::kHalt, "halt", "", "halt the card (vor)", noArguments},
    {Command::kBuzz, "buzz", "TIME", "sound the buzzer, TIME 0-10 (vor)", buzzArgument},
    {Command::kBeep, "beep", "SOUND", "beep, SOUND 0-255 passed to the reader (elatec)",
     beepArgument},
    {Command::kWatch, "watch", "[--count N] [--interval MS]", "print each card as it arrives",
     watchOptions},
    {Command::kProvision, "provision", "--fleet FILE --token-id HEX12 [--mac-key-id N] [--yes]",
     "make a factory card a fleet card (docs/security.md)", provisionOptions},
    {Command::kVerify, "verify", "--fleet FILE", "read and check a fleet card's token",
     verifyOptions},
    {Command::kUnprovision, "unprovision", "--fleet FILE --yes",
     "put a fleet card back to its factory state", unprovisionOptions},
    {Command::kDesfire, "desfire",
     "info|provision|verify|unprovision [--fleet FILE] [--token-id HEX12] [--yes]",
     "DESFire fleet cards on the elatec reader (docs/bench-tool.md)", desfireOptions},
};

std::string commandLine(const CommandEntry& entry) {
  return *entry.arguments == '\0' ? entry.name : std::string(entry.name) + " " + entry.arguments;
}

// The help lists each command with its arguments, as the one-line messages
// show them.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_subcommand(const CLI::App* command) const override {
    const auto entry =
        std::find_if(std::begin(kCommands), std::end(kCommands),
                     [&](const CommandEntry& s) { return command->get_name() == s.name; });
    std::ostringstream out;
    CLI::detail::format_help(
        out, entry == std::end(kCommands) ? command->get_name() : commandLine(*entry),
        command->get_description(), get_column_width());
    return out.str();
  }
};

// ---- Options before (or after) the command ---------------------------------

void addPortOptions(CLI::App& app, Options& options) {
  const char* group = "Reader port";
  app.add_option_function<std::string>(
         "--port",
         [&options](const std::string& path) {
           if (path.empty()) throw BadArgument("--port needs a path, e.g. /dev/ttyUSB0");
           options.port = path;
         },
         "the reader's serial port, e.g. /dev/ttyUSB0")
      ->type_name("PATH")
      ->group(group);
  const auto offeredBaud = [](const std::string& text) {
    const auto baud = parseInteger(text, 1, kMaxBaud);
    return baud && rfid_serial::baudConstant(*baud) != 0 ? baud : std::nullopt;
  };
  addParsed(app, "--baud", options.baud, offeredBaud,
            "--baud {} is not offered: use 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 "
            "or 230400",
            "baud rate of the port (default 9600)")
      ->type_name("N")
      ->group(group);
  app.add_flag("--simulate", options.simulate, "a simulated reader in this process, not a port")
      ->group(group);
  app.add_option(
         "--card-file", options.cardFile,
         "the simulated card as a card dump (by its extension: .mfd .bin .eml .json .mct .nfc), "
         "loaded and kept up to date")
      ->type_name("PATH")
      ->group(group);
  app.add_flag("--no-card", options.noCard, "no card in the simulated reader's field")
      ->group(group);
  app.add_option_function<std::string>(
         "--card",
         [&options](const std::string& kind) {
           if (!rfid_sim::desfireKindFromName(kind)) {
             throw BadArgument(
                 "--card takes desfire, desfire-genuine, desfire-clone, desfire-other-fleet, "
                 "desfire-replay, desfire-random-id, desfire-ev1 or desfire-flipped-bit, got '" +
                 kind + "'");
           }
           options.simulatedCard = kind;
         },
         "a DESFire card of the simulated reader (docs/simulator.md); with --card-file, the "
         "card a missing file starts as")
      ->type_name("KIND")
      ->group(group);
  app.add_flag("--fast", options.fast, "the simulated reader answers at once")->group(group);
  app.add_option("--card-leaves-after-writes", options.leaveAfterWrites,
                 "the simulated card leaves the field after N writes, as one pulled away")
      ->type_name("N")
      ->group(group);
  const auto quietWait = [](const std::string& mode) -> std::optional<bool> {
    if (mode != "fixed" && mode != "quiet") return std::nullopt;
    return mode == "quiet";
  };
  addParsed(app, "--reply-wait", options.quietWait, quietWait,
            "--reply-wait takes fixed (the module's half second) or quiet",
            "quiet (default): read a reply once the line has been quiet for --quiet-ms; fixed: "
            "wait the module's half second")
      ->type_name("fixed|quiet")
      ->group(group);
  addNumber(app, "--quiet-ms", options.quietMs, 1, kMaxQuietMs,
            "--quiet-ms takes 1 to 100 (milliseconds), got {}",
            "quiet time that ends a reply (default 20, for USB serial adapters)")
      ->type_name("N")
      ->group(group);
}

// One --sector-key S:HEX12.
void addSectorKey(const std::string& entry, Options& options) {
  const std::size_t colon = entry.find(':');
  const auto sector = colon == std::string::npos
                          ? std::nullopt
                          : parseInteger(entry.substr(0, colon), 0, kMaxSector);
  const auto key =
      colon == std::string::npos ? std::nullopt : rfid_keys::parseKey(entry.substr(colon + 1));
  if (!sector || !key) {
    throw BadArgument("--sector-key takes S:HEX12, a sector 0 to 15 and 12 hex digits, got '" +
                      entry + "'");
  }
  options.sectorKeys[static_cast<std::size_t>(*sector)] = key;
}

void addCardOptions(CLI::App& app, Options& options) {
  const char* group = "Reader and keys";
  addParsed(app, "--model", options.model, modelFromName, "--model must be vor or elatec, got '{}'",
            "the reader's protocol family (required)")
      ->type_name("vor|elatec")
      ->group(group);
  addParsed(app, "--key", options.key, rfid_keys::parseKey,
            "--key takes 12 hex digits (6 bytes), got '{}'",
            "key of every sector (default FFFFFFFFFFFF)")
      ->type_name("HEX12")
      ->group(group);
  app.add_option_function<std::vector<std::string>>(
         "--sector-key",
         [&options](const std::vector<std::string>& entries) {
           for (const std::string& entry : entries) addSectorKey(entry, options);
         },
         "key of sector S (0-15), over --key; repeatable")
      ->type_name("S:HEX12")
      ->allow_extra_args(false)
      ->group(group);
  app.add_option_function<std::string>(
         "--keys",
         [&options](const std::string& path) {
           if (const auto fault = rfid_keys::readKeyFile(path, true, options.keyFile)) {
             throw BadArgument(*fault);
           }
           options.keysPath = path;
         },
         "per-sector keys from a key file (SECTOR:HEX12 lines, or the Proxmark3's binary "
         "keys A and B), mode 0600, over --key")
      ->type_name("FILE")
      ->group(group);
  addNumber(app, "--key-selector", options.keySelector, 0, kMaxKeySelector,
            "--key-selector takes 0 (key A), 1 (key B) or another byte value",
            "0 key A, 1 key B (default 0)")
      ->type_name("K")
      ->group(group);
}

void addOutputOptions(CLI::App& app, Options& options) {
  const char* group = "Output";
  app.add_flag("--json", options.json, "one JSON object on the last line of standard output")
      ->group(group);
  app.add_flag("--quiet", options.quiet, "keep the module's log lines off the console")
      ->group(group);
  app.add_option("--log-dir", options.logDir, "directory of the module's monthly log file")
      ->type_name("DIR")
      ->group(group);
}

void setUp(CLI::App& app, Options& options) {
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->label("SUBCOMMAND", "COMMAND");
  formatter->label("Subcommands", "Commands");
  app.formatter(formatter);
  app.footer(
      "Every card command identifies the card first. Card dumps: docs/card-dumps.md.\n"
      "Exit status: 0 success, 1 the reader or card refused or no card, 2 bad usage or port.");
  // A later value replaces an earlier one, as shell aliases expect.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  addPortOptions(app, options);
  addCardOptions(app, options);
  addOutputOptions(app, options);
  for (const CommandEntry& entry : kCommands) {
    CLI::App* command = app.add_subcommand(entry.name, entry.summary);
    // The options above may also follow the command.
    command->fallthrough();
    entry.setUp(*command, options);
  }
  app.require_subcommand(0, 1);
}

// ---- After parsing -----------------------------------------------------------

const CommandEntry* chosenCommand(const CLI::App& app) {
  for (const CommandEntry& entry : kCommands) {
    if (app.got_subcommand(entry.name)) return &entry;
  }
  return nullptr;
}

std::string countFault(const CLI::App& app, const CommandEntry& entry) {
  std::size_t expected = 0;
  for (const CLI::Option* option : app.get_subcommand(entry.name)->get_options()) {
    if (option->get_positional()) ++expected;
  }
  return std::string(entry.name) + " takes " + std::to_string(expected) +
         " argument(s): rfidctl ... " + commandLine(entry);
}

// An option that rfidctl does not take here: it may belong to a command
// and stand before it.
std::string optionFault(const CLI::App& app, const std::string& argument) {
  const std::string name = argument.substr(0, argument.find('='));
  for (const CommandEntry& entry : kCommands) {
    if (app.get_subcommand(entry.name)->get_option_no_throw(name) != nullptr) {
      return name + " belongs to the " + entry.name + " command: put it after " + entry.name;
    }
  }
  return "unknown option " + name + " (rfidctl --help lists them)";
}

// CLI11's own faults, in the one-line form of rfidctl's messages.
std::string describeFault(const CLI::App& app, const CLI::ParseError& error) {
  if (dynamic_cast<const BadArgument*>(&error) != nullptr) return error.what();
  const std::vector<std::string> extras = app.remaining(true);
  for (const std::string& extra : extras) {
    if (extra.size() > 1 && extra[0] == '-') return optionFault(app, extra);
  }
  const CommandEntry* entry = chosenCommand(app);
  if (entry != nullptr && dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    return countFault(app, *entry);
  }
  if (!extras.empty()) {
    return entry != nullptr
               ? countFault(app, *entry)
               : "unknown command '" + extras.front() + "' (rfidctl --help lists them)";
  }
  const std::string what = error.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr &&
      what.find(" required ") != std::string::npos) {
    return what.substr(0, what.find(':')) + " needs a value";
  }
  return what + " (rfidctl --help)";
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
  if (!options.simulate && (!options.cardFile.empty() || options.noCard || options.fast ||
                            options.leaveAfterWrites != 0 || !options.simulatedCard.empty())) {
    return std::string(
        "--card, --card-file, --no-card, --fast and --card-leaves-after-writes apply to --simulate "
        "only");
  }
  if (!options.simulatedCard.empty() && options.noCard) {
    return std::string("--card and --no-card contradict each other");
  }
  if (!options.cardFile.empty() && options.noCard) {
    return std::string("--card-file and --no-card contradict each other");
  }
  const bool vor = options.model == Model::kVor;
  if (options.command == Command::kLogin && vor) {
    return std::string("login is for --model elatec; vor requests carry the key themselves");
  }
  if ((options.command == Command::kHalt || options.command == Command::kBuzz) && !vor) {
    return options.commandName + " is for --model vor; the elatec reader has beep";
  }
  if (options.command == Command::kDump && vor && !options.fleetPath.empty()) {
    return std::string("dump --fleet is for DESFire cards, on --model elatec");
  }
  if (options.command == Command::kBeep && vor) {
    return std::string("beep is for --model elatec; the vor reader has buzz");
  }
  if (options.command == Command::kKeys && options.dictionary.empty()) {
    return std::string("keys needs --dict FILE, the keys to try");
  }
  if (rfid_keys::isBinaryKeyFileName(options.saveKeysPath) && options.keySelector != 0 &&
      options.keySelector != 1) {
    return std::string(
        "--save-keys FILE.bin writes keys A and B: use --key-selector 0 (key A) or 1 (key B)");
  }
  if (options.withTrailers && !options.yes) {
    return std::string(
        "--with-trailers writes keys and access bits, and a wrong trailer locks its sector for "
        "good: add --yes to confirm");
  }
  if (options.command == Command::kRestore && options.yes && !options.withTrailers) {
    return std::string("--yes confirms --with-trailers: give both or neither");
  }
  return std::nullopt;
}

std::optional<std::string> checkParsed(const CLI::App& app, Options& options) {
  const CommandEntry* entry = chosenCommand(app);
  if (entry == nullptr) {
    return std::string("no command: try identify, read, write or dump (rfidctl --help)");
  }
  options.command = entry->command;
  options.commandName = entry->name;
  if (!options.keysPath.empty()) {
    // Known only now: the selector picks the half of a binary key file.
    if (const auto fault =
            rfid_keys::keysForSelector(options.keyFile, options.keySelector, options.fileKeys)) {
      return "key file " + options.keysPath + " " + *fault;
    }
  }
  if (auto fault = checkFleetArguments(options)) return fault;
  return checkCombination(options, app.count("--model") > 0);
}

}  // namespace

std::optional<ParseStop> parseArguments(int argc, const char* const* argv, Options& options) {
  CLI::App app("Drives a card reader through the module's own functions, as a host does.",
               "rfidctl");
  setUp(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return ParseStop{true, app.help()};
  } catch (const CLI::ParseError& error) {
    options.json = app.count("--json") > 0;
    return ParseStop{false, describeFault(app, error)};
  }
  if (auto fault = checkParsed(app, options)) return ParseStop{false, *fault};
  return std::nullopt;
}

}  // namespace rfid_tools
