// rfidctl: a bench tool over the module's own functions, for a reader on a
// serial port or a simulated one.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "card_commands.h"
#include "console.h"
#include "desfire_commands.h"
#include "fleet_commands.h"
#include "host.h"
#include "rfid_cardauth/secret.h"
#include "rfid_image/card_image.h"
#include "rfidctl_args.h"
#include "simulated_reader.h"

namespace {

using rfid_host::kExitFailed;
using rfid_host::kExitOk;
using rfid_host::kExitUsage;
using rfid_tools::Block;
using rfid_tools::Command;
using rfid_tools::Console;
using rfid_tools::JsonObject;
using rfid_tools::kNoCard;
using rfid_tools::Options;
using rfid_tools::ReaderHost;
using rfid_tools::toHex;

using rfid_image::kBlocksPerSector;

const char* cardType(std::size_t serialLength) {
  return serialLength == 4 ? "MIFARE Classic" : "MIFARE Plus, Ultralight or DESFire";
}

const char* keyName(int selector) {
  switch (selector) {
    case 0:
      return "key A";
    case 1:
      return "key B";
    default:
      return "key selector";
  }
}

std::string keyAdvice(int sector) {
  return "check the key of sector " + std::to_string(sector) +
         " (--key or --sector-key) and the key selector (--key-selector 0 for key A, 1 for key B)";
}

// Identify, then (where the model needs it) log in to the block's sector.
int prepareBlock(const ReaderHost& host, Console& console, int block,
                 std::vector<std::uint8_t>& serial) {
  if (!host.identify(serial)) return console.fail(kExitFailed, kNoCard);
  console.json["serial"] = toHex(serial);
  if (!host.login(block)) {
    return console.fail(kExitFailed, "login to sector " + std::to_string(block / kBlocksPerSector) +
                                         " refused: " + keyAdvice(block / kBlocksPerSector));
  }
  return kExitOk;
}

// ---- The commands: each takes what it needs from the options ----------------

int identify(const ReaderHost& host, Console& console, const Options& /*options*/) {
  std::vector<std::uint8_t> serial;
  if (!host.identify(serial)) return console.fail(kExitFailed, kNoCard);
  console.json["serial"] = toHex(serial);
  console.json["type"] = cardType(serial.size());
  console.say("Card: %s, %zu-byte serial %s", cardType(serial.size()), serial.size(),
              toHex(serial).c_str());
  return kExitOk;
}

int readBlock(const ReaderHost& host, Console& console, const Options& options) {
  const int block = options.block;
  std::vector<std::uint8_t> serial;
  if (const int code = prepareBlock(host, console, block, serial)) return code;
  Block data{};
  if (!host.read(block, data)) {
    return console.fail(kExitFailed, "reading block " + std::to_string(block) +
                                         " was refused: " + keyAdvice(block / kBlocksPerSector));
  }
  console.json["block"] = block;
  console.json["data"] = toHex(data.data(), data.size());
  console.say("%2d  %s", block, rfid_tools::formatBlock(data).c_str());
  return kExitOk;
}

int writeBlock(const ReaderHost& host, Console& console, const Options& options) {
  const int block = options.block;
  const Block& data = options.data;
  if (rfid_image::isSectorTrailer(block)) {
    // A real card takes malformed access bits and locks the sector for good.
    if (!rfid_image::decodeAccessBits(data.data() + rfid_image::kAccessOffset)) {
      return console.fail(kExitUsage, "not writing block " + std::to_string(block) +
                                          ": its access bits (bytes 6 to 8) are malformed and "
                                          "would lock sector " +
                                          std::to_string(block / kBlocksPerSector) + " for good");
    }
    std::fprintf(
        stderr,
        "rfidctl: block %d is the trailer of sector %d: this changes its keys and access bits\n",
        block, block / kBlocksPerSector);
  }
  std::vector<std::uint8_t> serial;
  if (const int code = prepareBlock(host, console, block, serial)) return code;
  if (!host.write(block, data)) {
    return console.fail(
        kExitFailed, "writing block " + std::to_string(block) + " was refused: " +
                         (block == 0 ? std::string("block 0 is read-only on MIFARE Classic cards")
                                     : keyAdvice(block / kBlocksPerSector)) +
                         ", and that the access bits allow the write");
  }
  console.json["block"] = block;
  console.json["data"] = toHex(data.data(), data.size());
  console.say("Wrote block %d.", block);
  return kExitOk;
}

int login(const ReaderHost& host, Console& console, const Options& options) {
  const int block = options.block;
  std::vector<std::uint8_t> serial;
  if (const int code = prepareBlock(host, console, block, serial)) return code;
  console.json["sector"] = block / kBlocksPerSector;
  console.say("Logged in to sector %d (block %d) with %s.", block / kBlocksPerSector, block,
              keyName(options.keySelector));
  return kExitOk;
}

int halt(const ReaderHost& host, Console& console, const Options& /*options*/) {
  std::vector<std::uint8_t> serial;
  if (!host.identify(serial)) return console.fail(kExitFailed, kNoCard);
  console.json["serial"] = toHex(serial);
  (void)host.halt();
  // The halt reports nothing back; a card that still answers was not halted.
  std::vector<std::uint8_t> again;
  if (host.identify(again)) {
    return console.fail(kExitFailed,
                        "the card still answers after the halt: check the reader's halt support");
  }
  console.say("Card %s halted: it answers again once it has left the field and come back.",
              toHex(serial).c_str());
  return kExitOk;
}

int buzz(const ReaderHost& host, Console& console, const Options& options) {
  const int time = options.value;
  // The buzzer reports nothing back: the module's log line tells.
  (void)host.sound(static_cast<unsigned char>(time));
  console.say("Buzzer request sent (%d); the module's log line above has the reader's answer.",
              time);
  return kExitOk;
}

int beep(const ReaderHost& host, Console& console, const Options& options) {
  const int sound = options.value;
  // Returns once the reader is done beeping and takes requests again.
  (void)host.sound(static_cast<unsigned char>(sound));
  console.say("Beep sent (sound %d).", sound);
  return kExitOk;
}

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void onStop(int) {
  stopRequested = 1;
}

std::string clockTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// Polls like a charger's idle loop. A card is reported once when it
// arrives; it has left after two polls in a row without it, so one missed
// answer does not report the same card twice.
int watch(const ReaderHost& host, Console& console, const Options& options) {
  constexpr int kMissesToLeave = 2;
  struct sigaction action {};
  action.sa_handler = onStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::vector<std::uint8_t> current;
  int misses = 0;
  int arrivals = 0;
  JsonObject cards = JsonObject::array();
  std::fprintf(stderr, "rfidctl: watching for cards; Ctrl-C stops\n");
  while (stopRequested == 0 && (options.count == 0 || arrivals < options.count)) {
    std::vector<std::uint8_t> serial;
    if (host.identify(serial)) {
      misses = 0;
      if (serial != current) {
        current = serial;
        ++arrivals;
        console.say("%s  card %s (%s)", clockTime().c_str(), toHex(serial).c_str(),
                    cardType(serial.size()));
        cards.push_back(toHex(serial));
      }
    } else if (!current.empty() && ++misses >= kMissesToLeave) {
      console.say("%s  card %s left", clockTime().c_str(), toHex(current).c_str());
      current.clear();
    }
    if (options.count != 0 && arrivals >= options.count) break;
    for (int waited = 0; waited < options.intervalMs && stopRequested == 0; waited += 50) {
      ::usleep(static_cast<useconds_t>(std::min(50, options.intervalMs - waited)) * 1000);
    }
  }
  console.json["cards"] = std::move(cards);
  return kExitOk;
}

// --sector-key wins over --keys, which wins over --key; sectors named by
// none keep the module's key.
void applyKeys(const Options& options) {
  rfid_keys::SectorKeys keys = options.sectorKeys;
  for (std::size_t sector = 0; sector < keys.size(); ++sector) {
    if (!keys[sector]) keys[sector] = options.fileKeys[sector];
    if (!keys[sector]) keys[sector] = options.key;
  }
  rfid_keys::loadIntoModule(keys);
}

// A DESFire card in the elatec reader's field is dumped as its card file,
// any other card block by block.
int dump(const ReaderHost& host, int fd, Console& console, const Options& options) {
  if (options.model == rfid_tools::Model::kElatec) {
    if (const auto code = rfid_tools::dumpDesfireCard(fd, console, options)) return *code;
  }
  return rfid_tools::dumpCard(host, console, options);
}

// Where each command works: on the reader through the module's block
// functions, or on the port itself, for the fleet and DESFire commands that
// hold their own session with the card.
using OnReader = int (*)(const ReaderHost& host, Console& console, const Options& options);
using OnPort = int (*)(int fd, Console& console, const Options& options);
struct CommandRun {
  Command command;
  OnReader onReader;
  OnPort onPort;
};
constexpr CommandRun kRuns[] = {{Command::kIdentify, identify, nullptr},
                                {Command::kRead, readBlock, nullptr},
                                {Command::kWrite, writeBlock, nullptr},
                                {Command::kLogin, login, nullptr},
                                {Command::kKeys, rfid_tools::findKeys, nullptr},
                                {Command::kRestore, rfid_tools::restoreCard, nullptr},
                                {Command::kHalt, halt, nullptr},
                                {Command::kBuzz, buzz, nullptr},
                                {Command::kBeep, beep, nullptr},
                                {Command::kWatch, watch, nullptr},
                                {Command::kProvision, nullptr, rfid_tools::provisionCard},
                                {Command::kVerify, nullptr, rfid_tools::verifyCard},
                                {Command::kUnprovision, nullptr, rfid_tools::unprovisionCard},
                                {Command::kDesfire, nullptr, rfid_tools::desfireCommand}};

int run(const Options& options, Console& console, int fd) {
  const std::unique_ptr<ReaderHost> reader =
      rfid_tools::makeReader(fd, options.model, static_cast<std::uint8_t>(options.keySelector));
  if (options.command == Command::kDump) return dump(*reader, fd, console, options);
  for (const CommandRun& entry : kRuns) {
    if (entry.command != options.command) continue;
    return entry.onPort != nullptr ? entry.onPort(fd, console, options)
                                   : entry.onReader(*reader, console, options);
  }
  return kExitUsage;
}

// Bad usage: the one-line message, and with --json the object too.
int usageFault(const std::string& message, bool json) {
  std::fprintf(stderr, "rfidctl: %s\n", message.c_str());
  if (json) {
    const JsonObject object = {{"ok", false}, {"error", message}};
    std::printf("%s\n", rfid_tools::jsonLine(object).c_str());
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any key file is read: rfidctl holds sector and fleet keys.
  rfid_cardauth::keepKeysOutOfCoreDumps();
  Options options;
  if (const auto stop = rfid_tools::parseArguments(argc, argv, options)) {
    if (!stop->help) return usageFault(stop->text, options.json);
    std::fputs(stop->text.c_str(), stdout);
    return kExitOk;
  }

  Console console(options.json, options.quiet);
  console.json["command"] = options.commandName;
  console.json["model"] = rfid_tools::modelName(options.model);
  if (!options.logDir.empty() && rfidSetLogDirectory(options.logDir.c_str()) != 0) {
    return console.finish(
        console.fail(kExitUsage, "--log-dir " + options.logDir + " is too long for the log file"));
  }
  // --reply-wait and --quiet-ms were checked with the rest of the arguments.
  (void)rfidSetReplyWait(options.quietWait ? RFID_REPLY_WAIT_QUIET : RFID_REPLY_WAIT_FIXED,
                         options.quietMs);
  // A reply that is not one whole frame (a byte changed on the line, bytes
  // of an earlier reply) never becomes a serial number or block data.
  (void)rfidSetReplyCheck(1);
  applyKeys(options);

  std::unique_ptr<rfid_tools::SimulatedReader> simulator;
  std::string portPath = options.port;
  std::string error;
  if (options.simulate) {
    simulator = rfid_tools::SimulatedReader::start(options, error);
    if (!simulator) return console.finish(console.fail(kExitUsage, error));
    portPath = simulator->portPath();
  }
  const rfid_serial::UniqueFd port = rfid_serial::openSerialPort(portPath, options.baud, error);
  if (!port.valid()) return console.finish(console.fail(kExitUsage, error));
  const int code = run(options, console, port.get());
  if (simulator && !simulator->saveError().empty()) {
    std::fprintf(stderr, "rfidctl: saving the card file failed: %s\n",
                 simulator->saveError().c_str());
  }
  return console.finish(code);
}
