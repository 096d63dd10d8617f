// rfidctl: a bench tool over the module's own functions, for a reader on a
// serial port or a simulated one.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "rfid_internal.h"
#include "rfid_sim/card.h"
#include "rfid_sim/fast_exchange.h"
#include "rfid_sim/hex.h"
#include "rfid_sim/simulator.h"
#include "rfidctl_args.h"

namespace {

using rfid_sim::Model;
using rfid_tools::Block;
using rfid_tools::Command;
using rfid_tools::Options;
using rfid_tools::ReaderHost;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

constexpr int kSectors = 16;
constexpr int kBlocksPerSector = 4;
constexpr std::size_t kKeyABytes = 6;

// Where a block starts in a card dump.
std::ptrdiff_t offsetOf(int block) {
  return static_cast<std::ptrdiff_t>(block) * static_cast<std::ptrdiff_t>(rfid_sim::kBlockSize);
}

// One JSON object, built field by field.
class Json {
 public:
  void add(const char* key, const std::string& value) { raw(key, quote(value)); }
  void add(const char* key, const char* value) { raw(key, quote(value)); }
  void add(const char* key, int value) { raw(key, std::to_string(value)); }
  void add(const char* key, bool value) { raw(key, value ? "true" : "false"); }
  void raw(const char* key, const std::string& value) {
    text_ += text_.empty() ? "{" : ",";
    text_ += quote(key) + ":" + value;
  }
  std::string str() const { return text_.empty() ? "{}" : text_ + "}"; }

  static std::string quote(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
        out += escaped;
      } else {
        out += c;
      }
    }
    return out + "\"";
  }

 private:
  std::string text_;
};

// Where rfidctl's own words go. The module prints its log lines on
// standard output; --quiet sends those to /dev/null and keeps ours.
class Console {
 public:
  explicit Console(const Options& options) : json_(options.json) {
    if (options.quiet) {
      const int own = ::dup(STDOUT_FILENO);
      const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
      if (own >= 0 && null >= 0) {
        std::fflush(stdout);
        out_ = ::fdopen(own, "w");
        ::dup2(null, STDOUT_FILENO);
      }
      if (null >= 0) ::close(null);
      if (out_ == nullptr && own >= 0) ::close(own);
    }
    if (out_ == nullptr) out_ = stdout;
    progressIsTerminal_ = ::isatty(STDERR_FILENO) != 0;
  }
  ~Console() {
    if (out_ != stdout) std::fclose(out_);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // A line for a person; --json keeps standard output for the object.
  // NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked by the format attribute
  void say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (json_) return;
    std::fflush(stdout);  // after the module's lines, not among them
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  // Progress of long work, on the error stream: one updated line on a
  // terminal, a line per step elsewhere.
  void progress(const std::string& text) {
    if (progressIsTerminal_) {
      std::fprintf(stderr, "\r%s\033[K", text.c_str());
      progressShown_ = true;
    } else {
      std::fprintf(stderr, "%s\n", text.c_str());
    }
  }
  void endProgress() {
    if (progressShown_) std::fputc('\n', stderr);
    progressShown_ = false;
  }
  // A failure: one line on the error stream that says what to do.
  int fail(int code, const std::string& message) {
    endProgress();
    std::fprintf(stderr, "rfidctl: %s\n", message.c_str());
    json.add("ok", false);
    json.add("error", message);
    return code;
  }
  int finish(int code) {
    endProgress();
    if (json_) {
      if (code == kExitOk) json.add("ok", true);
      std::fflush(stdout);
      std::fprintf(out_, "%s\n", json.str().c_str());
      std::fflush(out_);
    }
    return code;
  }

  Json json;

 private:
  bool json_;
  FILE* out_ = nullptr;
  bool progressIsTerminal_ = false;
  bool progressShown_ = false;
};

const char* cardType(std::size_t serialLength) {
  return serialLength == 4 ? "MIFARE Classic" : "MIFARE Plus, Ultralight or DESFire";
}

const char* keyName(std::uint8_t selector) {
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

const char* const kNoCard = "no card in the field: hold a card on the reader and try again";
const char* const kLeftDuringDump =
    "the card left the field during the dump: hold it on the reader and run dump again";

// Identify, then (where the model needs it) log in to the block's sector.
int prepareBlock(const ReaderHost& host, Console& console, int block,
                 std::vector<std::uint8_t>& serial) {
  if (!host.identify(serial)) return console.fail(kExitRefused, kNoCard);
  console.json.add("serial", rfid_sim::toHex(serial));
  if (!host.login(block)) {
    return console.fail(kExitRefused, "login to sector " +
                                          std::to_string(block / kBlocksPerSector) +
                                          " refused: " + keyAdvice(block / kBlocksPerSector));
  }
  return kExitOk;
}

int identify(const ReaderHost& host, Console& console) {
  std::vector<std::uint8_t> serial;
  if (!host.identify(serial)) return console.fail(kExitRefused, kNoCard);
  console.json.add("serial", rfid_sim::toHex(serial));
  console.json.add("type", cardType(serial.size()));
  console.say("Card: %s, %zu-byte serial %s", cardType(serial.size()), serial.size(),
              rfid_sim::toHex(serial).c_str());
  return kExitOk;
}

int readBlock(const ReaderHost& host, Console& console, int block) {
  std::vector<std::uint8_t> serial;
  if (const int code = prepareBlock(host, console, block, serial)) return code;
  Block data{};
  if (!host.read(block, data)) {
    return console.fail(kExitRefused, "reading block " + std::to_string(block) +
                                          " was refused: " + keyAdvice(block / kBlocksPerSector));
  }
  console.json.add("block", block);
  console.json.add("data", rfid_sim::toHex(data.data(), data.size()));
  console.say("%2d  %s", block, rfid_tools::formatBlock(data).c_str());
  return kExitOk;
}

int writeBlock(const ReaderHost& host, Console& console, int block, const Block& data) {
  if (rfid_sim::isSectorTrailer(block)) {
    // A real card takes malformed access bits and locks the sector for good.
    if (!rfid_sim::decodeAccessBits(data.data() + 6)) {
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
        kExitRefused, "writing block " + std::to_string(block) + " was refused: " +
                          (block == 0 ? std::string("block 0 is read-only on MIFARE Classic cards")
                                      : keyAdvice(block / kBlocksPerSector)) +
                          ", and that the access bits allow the write");
  }
  console.json.add("block", block);
  console.json.add("data", rfid_sim::toHex(data.data(), data.size()));
  console.say("Wrote block %d.", block);
  return kExitOk;
}

int login(const ReaderHost& host, Console& console, int block, std::uint8_t selector) {
  std::vector<std::uint8_t> serial;
  if (const int code = prepareBlock(host, console, block, serial)) return code;
  console.json.add("sector", block / kBlocksPerSector);
  console.say("Logged in to sector %d (block %d) with %s.", block / kBlocksPerSector, block,
              keyName(selector));
  return kExitOk;
}

int dump(const ReaderHost& host, Console& console, const Options& options) {
  std::vector<std::uint8_t> serial;
  if (!host.identify(serial)) return console.fail(kExitRefused, kNoCard);
  console.json.add("serial", rfid_sim::toHex(serial));
  rfid_sim::Memory memory{};
  bool readable[kSectors * kBlocksPerSector] = {};
  int refused = 0;
  // Any refusal leaves the card idle until it is identified again, as a
  // host must; a refused login skips the sector, a refused read (wrong key
  // on the checksummed reader, or access bits) only the block.
  bool idle = false;
  const auto ready = [&]() {
    if (idle) idle = !host.identify(serial);
    return !idle;
  };
  for (int sector = 0; sector < kSectors; ++sector) {
    const int first = sector * kBlocksPerSector;
    const int trailer = first + kBlocksPerSector - 1;
    bool loggedIn = false;
    bool loginRefused = false;
    for (int block = first; block <= trailer; ++block) {
      console.progress("dump: block " + std::to_string(block + 1) + "/64");
      if (!loggedIn && !loginRefused) {
        if (!ready()) return console.fail(kExitRefused, kLeftDuringDump);
        loggedIn = host.login(first);
        loginRefused = !loggedIn;
        idle = loginRefused;
      }
      Block data{};
      if (loggedIn && host.read(block, data)) {
        readable[block] = true;
        std::copy(data.begin(), data.end(), memory.begin() + offsetOf(block));
        continue;
      }
      ++refused;
      if (loggedIn) idle = true;
      loggedIn = false;
    }
    if (readable[trailer] && options.keySelector == 0) {
      // The card never shows key A; the key that opened the trailer is it,
      // so the dump can be replayed.
      std::copy_n(sectorKeyA[sector], kKeyABytes, memory.begin() + offsetOf(trailer));
    }
  }
  console.endProgress();

  std::string blocksJson = "[";
  for (int block = 0; block < kSectors * kBlocksPerSector; ++block) {
    Block data{};
    std::copy_n(memory.begin() + offsetOf(block), data.size(), data.begin());
    const char* mark = rfid_sim::isSectorTrailer(block) ? "  trailer" : "";
    if (readable[block]) {
      console.say("%2d  %s%s", block, rfid_tools::formatBlock(data).c_str(), mark);
    } else {
      console.say("%2d  -- refused --%s", block, mark);
    }
    blocksJson += (block > 0 ? "," : "");
    blocksJson += readable[block] ? Json::quote(rfid_sim::toHex(data.data(), data.size())) : "null";
  }
  console.json.raw("blocks", blocksJson + "]");
  console.json.add("refused", refused);

  if (!options.savePath.empty()) {
    std::string error;
    if (!rfid_sim::saveDump(options.savePath, memory, error)) {
      return console.fail(kExitUsage, "cannot save the dump: " + error);
    }
    console.json.add("saved", options.savePath);
    console.say("Saved %s (1024 bytes, block 0 first%s).", options.savePath.c_str(),
                refused > 0 ? "; refused blocks as zeros" : "");
  }
  if (refused > 0) {
    return console.fail(kExitRefused, std::to_string(refused) +
                                          " of 64 blocks were refused: check the keys (--key, "
                                          "--sector-key) and the key selector");
  }
  return kExitOk;
}

int halt(const ReaderHost& host, Console& console, int fd) {
  std::vector<std::uint8_t> serial;
  if (!host.identify(serial)) return console.fail(kExitRefused, kNoCard);
  console.json.add("serial", rfid_sim::toHex(serial));
  sethaltCard(fd, MODULE_VOR);
  // The halt reports nothing back; a card that still answers was not halted.
  std::vector<std::uint8_t> again;
  if (host.identify(again)) {
    return console.fail(kExitRefused,
                        "the card still answers after the halt: check the reader's halt support");
  }
  console.say("Card %s halted: it answers again once it has left the field and come back.",
              rfid_sim::toHex(serial).c_str());
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
  std::string cardsJson = "[";
  std::fprintf(stderr, "rfidctl: watching for cards; Ctrl-C stops\n");
  while (stopRequested == 0 && (options.count == 0 || arrivals < options.count)) {
    std::vector<std::uint8_t> serial;
    if (host.identify(serial)) {
      misses = 0;
      if (serial != current) {
        current = serial;
        ++arrivals;
        console.say("%s  card %s (%s)", clockTime().c_str(), rfid_sim::toHex(serial).c_str(),
                    cardType(serial.size()));
        cardsJson += (arrivals > 1 ? "," : "") + Json::quote(rfid_sim::toHex(serial));
      }
    } else if (!current.empty() && ++misses >= kMissesToLeave) {
      console.say("%s  card %s left", clockTime().c_str(), rfid_sim::toHex(current).c_str());
      current.clear();
    }
    if (options.count != 0 && arrivals >= options.count) break;
    for (int waited = 0; waited < options.intervalMs && stopRequested == 0; waited += 50) {
      ::usleep(static_cast<useconds_t>(std::min(50, options.intervalMs - waited)) * 1000);
    }
  }
  console.json.raw("cards", cardsJson + "]");
  return kExitOk;
}

void applyKeys(const Options& options) {
  if (options.key) {
    for (auto& row : sectorKeyA) std::copy(options.key->begin(), options.key->end(), row);
  }
  for (const auto& sectorKey : options.sectorKeys) {
    std::copy(sectorKey.key.begin(), sectorKey.key.end(), sectorKeyA[sectorKey.sector]);
  }
}

int run(const Options& options, Console& console, int fd) {
  const ReaderHost host(fd, options.model, options.keySelector);
  switch (options.command) {
    case Command::kIdentify:
      return identify(host, console);
    case Command::kRead:
      return readBlock(host, console, options.block);
    case Command::kWrite:
      return writeBlock(host, console, options.block, options.data);
    case Command::kLogin:
      return login(host, console, options.block, options.keySelector);
    case Command::kDump:
      return dump(host, console, options);
    case Command::kHalt:
      return halt(host, console, fd);
    case Command::kBuzz:
      // The buzzer reports nothing back: the module's log line tells.
      setBuzzer(fd, MODULE_VOR, static_cast<unsigned char>(options.value));
      console.say("Buzzer request sent (%d); the module's log line above has the reader's answer.",
                  options.value);
      return kExitOk;
    case Command::kBeep:
      (void)SetBeep(fd, MODULE_ELATEC, static_cast<unsigned char>(options.value));
      // The reader is still beeping and takes no request until it is done.
      ::usleep(rfid_tools::kRestAfterBeepUs);
      console.say("Beep sent (sound %d).", options.value);
      return kExitOk;
    case Command::kWatch:
      return watch(host, console, options);
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto error = rfid_tools::parseArguments(argc, argv, options)) {
    std::fprintf(stderr, "rfidctl: %s\n", error->c_str());
    if (options.json) {
      Json json;
      json.add("ok", false);
      json.add("error", *error);
      std::printf("%s\n", json.str().c_str());
    }
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(rfid_tools::kUsage, stdout);
    return kExitOk;
  }

  Console console(options);
  console.json.add("command", options.commandName);
  console.json.add("model", rfid_sim::modelName(options.model));
  if (!options.logDir.empty()) rfid::logDirectory = options.logDir.c_str();
  applyKeys(options);

  std::unique_ptr<rfid_sim::Simulator> simulator;
  std::unique_ptr<rfid_sim::FastExchange> fast;
  std::string portPath = options.port;
  if (options.simulate) {
    std::optional<rfid_sim::Card> card = rfid_sim::Card::demo();
    if (options.noCard) card.reset();
    if (!options.cardFile.empty()) {
      std::string error;
      card = rfid_sim::openCardFile(options.cardFile, *card, error);
      if (!card) return console.finish(console.fail(kExitUsage, error));
    }
    try {
      simulator = std::make_unique<rfid_sim::Simulator>(options.model, card);
    } catch (const std::exception& exception) {
      return console.finish(console.fail(
          kExitUsage, std::string("cannot start the simulated reader: ") + exception.what()));
    }
    if (!options.cardFile.empty()) simulator->saveCardTo(options.cardFile);
    if (options.fast) fast = std::make_unique<rfid_sim::FastExchange>(*simulator);
    portPath = simulator->portPath();
  }

  std::string error;
  const rfid_serial::UniqueFd port = rfid_serial::openSerialPort(portPath, options.baud, error);
  if (!port.valid()) return console.finish(console.fail(kExitUsage, error));
  const int code = run(options, console, port.get());
  if (simulator && !simulator->saveError().empty()) {
    std::fprintf(stderr, "rfidctl: saving the card file failed: %s\n",
                 simulator->saveError().c_str());
  }
  return console.finish(code);
}
