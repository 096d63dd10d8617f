#include "sim_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "rfid_hex/hex.h"
#include "rfid_host/cli_option.h"
#include "rfid_host/exit_code.h"
#include "rfid_serial/serial_port.h"

namespace rfid_reader_sim {
namespace {

constexpr std::size_t kClassicSerialSize = 4;
constexpr std::size_t kSevenByteSerialSize = 7;

using rfid_host::addParsed;
using rfid_host::BadArgument;

constexpr int kMaxBaud = 230400;
constexpr int kMaxDelayMs = 10000;

// A whole decimal number from `low` to `high`.
bool parseNumber(const std::string& text, int low, int high, int& value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::stoi(text);
  return value >= low && value <= high;
}

void addOptions(CLI::App& app, Options& options, std::vector<std::string>& delays) {
  addParsed(app, "--model", options.model, rfid_sim::modelFromName, "--model must be vor or elatec",
            "the reader's protocol family (required)")
      ->type_name("vor|elatec");
  app.add_option_function<std::string>(
         "--card",
         [&options](const std::string& kind) {
           if (kind == "classic") {
             options.cardKind = CardKind::kClassic;
           } else if (kind == "seven") {
             options.cardKind = CardKind::kSevenByte;
           } else if (kind == "none") {
             options.cardKind = CardKind::kNone;
           } else if (const auto desfire = rfid_sim::desfireKindFromName(kind)) {
             options.cardKind = CardKind::kDesfire;
             options.desfireKind = *desfire;
           } else {
             throw BadArgument(
                 "--card must be classic, seven, none, desfire, desfire-genuine, desfire-clone, "
                 "desfire-other-fleet, desfire-replay, desfire-random-id, desfire-ev1 or "
                 "desfire-flipped-bit");
           }
         },
         "MIFARE Classic 1K (default), a 7-byte serial only, an empty field, a factory DESFire "
         "EV3 card, or a card of the example DESFire fleet: the genuine card and the cards that "
         "attack it (docs/simulator.md)")
      ->type_name("classic|seven|none|desfire|desfire-...");
  addParsed(app, "--serial", options.serial, rfid_hex::fromHex,
            "--serial takes hex digits, 8 for a classic card or 14 for a 7-byte one",
            "the card's serial number (default A1B2C3D4, or 04112233445566)")
      ->type_name("HEX");
  app.add_option("--card-file", options.cardFile.path,
                 "the card as a dump: loaded, or created; rewritten after each write")
      ->type_name("PATH");
  addParsed(app, "--format", options.cardFile.format, rfid_image::formatFromName,
            "--format must be mfd, bin, eml, json, mct or nfc",
            "the card file's format (default: by its extension; binary for any other)")
      ->type_name("mfd|bin|eml|json|mct|nfc");
  app.add_option("--link", options.link, "also a symbolic link to the serial side")
      ->type_name("PATH");
  app.add_flag("--trace", options.trace, "every byte received and sent, on the error stream");
  app.add_option(
         "--reply-delay-ms", delays,
         "the reader's delay before it answers a kind of command (repeatable); kinds: "
         "vor request, read, write, halt, buzzer (default 15 each); elatec search "
         "(default 40), login, read, write, beep, sak, tdx (default 20 each); all: every kind")
      ->type_name("KIND=MS")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option_function<std::string>(
         "--baud",
         [&options](const std::string& text) {
           int baud = 0;
           if (!parseNumber(text, 1, kMaxBaud, baud) || rfid_serial::baudConstant(baud) == 0) {
             throw BadArgument("--baud " + text +
                               " is not offered: use 1200, 2400, 4800, 9600, 19200, 38400, "
                               "57600, 115200 or 230400");
           }
           options.timing.baud = baud;
         },
         "the line's speed, at which replies leave byte by byte (8N1, default 9600)")
      ->type_name("N");
}

// One --reply-delay-ms KIND=MS into the timing of the chosen model.
std::optional<std::string> applyDelay(const std::string& entry, Options& options) {
  const std::size_t equals = entry.find('=');
  const std::string kind = entry.substr(0, std::min(equals, entry.size()));
  const auto& kinds = rfid_sim::commandKinds(options.model);
  int ms = 0;
  if (equals == std::string::npos || !parseNumber(entry.substr(equals + 1), 0, kMaxDelayMs, ms) ||
      (kind != "all" && std::find(kinds.begin(), kinds.end(), kind) == kinds.end())) {
    std::string names;
    for (const std::string& name : kinds) names += name + ", ";
    return "--reply-delay-ms takes KIND=MS, KIND one of " + names + "all for --model " +
           rfid_sim::modelName(options.model) + ", MS 0 to " + std::to_string(kMaxDelayMs) +
           "; got '" + entry + "'";
  }
  for (const std::string& name : kinds) {
    if (kind == "all" || kind == name)
      options.timing.replyDelay[name] = std::chrono::milliseconds(ms);
  }
  return std::nullopt;
}

// Rules between the options, once all are parsed.
std::optional<std::string> checkCombination(const CLI::App& app, const Options& options) {
  if (app.count("--model") == 0) return std::string("--model vor or --model elatec is required");
  if (options.cardFile.path.empty() && app.count("--format") > 0) {
    return std::string("--format is the format of --card-file: give the file too");
  }
  const bool desfire = options.cardKind == CardKind::kDesfire;
  if (!options.cardFile.path.empty() && options.cardKind != CardKind::kClassic && !desfire) {
    return std::string(
        "--card-file holds a MIFARE Classic or a DESFire card: leave out --card or give a "
        "DESFire kind");
  }
  if (desfire && app.count("--format") > 0) {
    return std::string("a DESFire card file is always JSON: leave out --format");
  }
  if (options.serial.empty()) return std::nullopt;
  if (desfire && (options.desfireKind != rfid_sim::DesfireKind::kFactory ||
                  options.serial.size() != kSevenByteSerialSize)) {
    return std::string(
        "--serial of a DESFire card takes 14 hex digits, and only with --card desfire");
  }
  if (options.cardKind == CardKind::kSevenByte && options.serial.size() != kSevenByteSerialSize) {
    return std::string("--serial of a 7-byte card takes 14 hex digits");
  }
  if (options.cardKind == CardKind::kClassic && options.serial.size() != kClassicSerialSize) {
    return std::string("--serial of a classic card takes 8 hex digits");
  }
  return std::nullopt;
}

// CLI11's own faults in the program's words.
std::string describeFault(const CLI::App& app, const CLI::ParseError& error) {
  const std::string what = error.what();
  const std::vector<std::string> extras = app.remaining();
  if (dynamic_cast<const BadArgument*>(&error) != nullptr) return what;
  if (!extras.empty()) return "unknown argument '" + extras.front() + "'";
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr &&
      what.find(" required ") != std::string::npos) {
    return what.substr(0, what.find(':')) + " needs a value";
  }
  return what;
}

int usageFault(const CLI::App& app, const std::string& message) {
  std::fprintf(stderr, "rfid-reader-sim: %s\n%s", message.c_str(), app.help().c_str());
  return rfid_host::kExitUsage;
}

}  // namespace

std::optional<int> parseOptions(int argc, const char* const* argv, Options& options) {
  CLI::App app(
      "A simulated card reader on a pseudo-terminal. Prints the path of its serial side, then\n"
      "answers there until stopped (Ctrl-C).",
      "rfid-reader-sim");
  app.footer("Commands on standard input: remove, insert, status, quit.");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::vector<std::string> delays;
  addOptions(app, options, delays);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return rfid_host::kExitOk;
  } catch (const CLI::ParseError& error) {
    return usageFault(app, describeFault(app, error));
  }
  if (const auto fault = checkCombination(app, options)) return usageFault(app, *fault);
  const int baud = options.timing.baud;
  options.timing = rfid_sim::Timing::typical(options.model);
  if (baud != 0) options.timing.baud = baud;
  for (const std::string& entry : delays) {
    if (const auto fault = applyDelay(entry, options)) return usageFault(app, *fault);
  }
  if (app.count("--format") == 0) {
    options.cardFile.format = rfid_image::formatForPath(options.cardFile.path);
  }
  return std::nullopt;
}

bool makeCard(const Options& options, std::optional<rfid_sim::Card>& card, std::string& warning,
              std::string& error) {
  const rfid_sim::Bytes& serial = options.serial;
  switch (options.cardKind) {
    case CardKind::kNone:
      card.reset();
      return true;
    case CardKind::kSevenByte: {
      std::array<std::uint8_t, kSevenByteSerialSize> seven = {0x04, 0x11, 0x22, 0x33,
                                                              0x44, 0x55, 0x66};
      std::copy_n(serial.begin(), std::min(serial.size(), seven.size()), seven.begin());
      card = rfid_sim::Card::sevenByte(seven);
      return true;
    }
    case CardKind::kDesfire:
      card = rfid_sim::Card::desfire(rfid_sim::desfireCard(options.desfireKind, serial));
      if (!options.cardFile.path.empty()) {
        card = rfid_sim::openCardFile(options.cardFile, *card, warning, error);
      }
      return card.has_value();
    case CardKind::kClassic:
      card = serial.size() != kClassicSerialSize
                 ? rfid_sim::Card::demo()
                 : rfid_sim::Card::classic({serial[0], serial[1], serial[2], serial[3]});
      if (!options.cardFile.path.empty()) {
        card = rfid_sim::openCardFile(options.cardFile, *card, warning, error);
      }
      return card.has_value();
  }
  return false;
}

}  // namespace rfid_reader_sim
