// rfid-reader-sim: a simulated card reader on a pseudo-terminal, for hosts
// developed with no reader on the desk.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "rfid_serial/unique_fd.h"
#include "rfid_sim/hex.h"
#include "rfid_sim/simulator.h"

namespace {

using rfid_sim::Card;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: rfid-reader-sim --model vor|elatec [--card classic|seven|none] [--serial HEX]\n"
    "                       [--card-file PATH] [--link PATH] [--trace]\n"
    "Prints the path of the simulated reader's serial port, then answers there until\n"
    "stopped (Ctrl-C). Commands on standard input: remove, insert, status, quit.\n"
    "--trace prints every byte received and sent on the error stream.\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "rfid-reader-sim: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

// A card file or link that cannot be used: the arguments were fine.
int fileError(const std::string& message) {
  std::fprintf(stderr, "rfid-reader-sim: %s\n", message.c_str());
  return kExitUsage;
}

// The signal handler's only job: wake the main loop.
int stopWrite = -1;
extern "C" void onStopSignal(int) {
  const char byte = 0;
  (void)!::write(stopWrite, &byte, 1);
}

struct Options {
  rfid_sim::Model model = rfid_sim::Model::kVor;
  bool modelGiven = false;
  std::string cardKind = "classic";
  std::string serial;
  std::string cardFile;
  std::string link;
  bool trace = false;
};

void printStatus(const rfid_sim::Simulator& simulator) {
  const auto card = simulator.card();
  if (!card) {
    std::printf("field: empty\n");
  } else {
    std::printf(
        "field: %s card %s\n",
        card->kind() == Card::Kind::kMifareClassic1K ? "MIFARE Classic 1K" : "7-byte serial",
        rfid_sim::toHex(card->serial()).c_str());
  }
  std::fflush(stdout);
}

// Handles one line typed on standard input; false to stop.
bool handleCommand(std::string line, rfid_sim::Simulator& simulator) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  if (line == "quit" || line == "exit") return false;
  if (line == "remove") {
    simulator.removeCard();
  } else if (line == "insert") {
    simulator.insertCard();
  } else if (!line.empty() && line != "status") {
    std::printf("commands: remove, insert, status, quit\n");
  }
  printStatus(simulator);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--trace") {
      options.trace = true;
      continue;
    }
    if (arg != "--model" && arg != "--card" && arg != "--serial" && arg != "--card-file" &&
        arg != "--link") {
      return usageError("unknown argument '" + arg + "'");
    }
    if (!hasValue) return usageError(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--model") {
      const auto model = rfid_sim::modelFromName(value);
      if (!model) return usageError("--model must be vor or elatec");
      options.model = *model;
      options.modelGiven = true;
    } else if (arg == "--card") {
      if (value != "classic" && value != "seven" && value != "none") {
        return usageError("--card must be classic, seven or none");
      }
      options.cardKind = value;
    } else if (arg == "--serial") {
      options.serial = value;
    } else if (arg == "--card-file") {
      options.cardFile = value;
    } else {
      options.link = value;
    }
  }
  if (!options.modelGiven) return usageError("--model vor or --model elatec is required");

  std::optional<Card> card;
  rfid_sim::Bytes serial;
  if (!options.serial.empty()) {
    const auto parsed = rfid_sim::fromHex(options.serial);
    if (!parsed) {
      return usageError("--serial takes hex digits, 8 for a classic card or 14 for a 7-byte one");
    }
    serial = *parsed;
  }
  if (!options.cardFile.empty() && options.cardKind != "classic") {
    return usageError("--card-file holds a MIFARE Classic card: leave out --card");
  }
  if (options.cardKind == "seven") {
    std::array<std::uint8_t, 7> seven = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    if (!serial.empty() && serial.size() != seven.size()) {
      return usageError("--serial of a 7-byte card takes 14 hex digits");
    }
    if (!serial.empty()) std::copy(serial.begin(), serial.end(), seven.begin());
    card = Card::sevenByte(seven);
  } else if (options.cardKind == "classic") {
    if (!serial.empty() && serial.size() != 4) {
      return usageError("--serial of a classic card takes 8 hex digits");
    }
    card =
        serial.empty() ? Card::demo() : Card::classic({serial[0], serial[1], serial[2], serial[3]});
    if (!options.cardFile.empty()) {
      std::string error;
      card = rfid_sim::openCardFile(options.cardFile, *card, error);
      if (!card) return fileError(error);
    }
  }

  int stopPipe[2];
  if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("rfid-reader-sim: pipe");
    return 1;
  }
  const rfid_serial::UniqueFd stopRead(stopPipe[0]);
  const rfid_serial::UniqueFd stopWriteOwner(stopPipe[1]);
  stopWrite = stopPipe[1];
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  try {
    rfid_sim::Simulator simulator(options.model, card);
    if (!options.cardFile.empty()) simulator.saveCardTo(options.cardFile);
    if (options.trace) {
      simulator.setTrace([](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
        std::fprintf(stderr, "%s %s\n", fromHost ? "reader got " : "reader sent",
                     rfid_sim::toHex(bytes, count, " ").c_str());
      });
    }
    if (!options.link.empty()) {
      ::unlink(options.link.c_str());
      if (::symlink(simulator.portPath().c_str(), options.link.c_str()) != 0) {
        return fileError(options.link + ": " + std::strerror(errno));
      }
    }
    std::printf("%s\n", simulator.portPath().c_str());
    std::fprintf(stderr,
                 "rfid-reader-sim: %s reader on %s%s%s; commands on standard input: remove, "
                 "insert, status, quit\n",
                 rfid_sim::modelName(options.model), simulator.portPath().c_str(),
                 options.link.empty() ? "" : ", linked as ", options.link.c_str());
    std::fflush(stdout);
    printStatus(simulator);

    bool stdinOpen = true;
    std::string line;
    for (;;) {
      pollfd fds[2] = {{stopRead.get(), POLLIN, 0},
                       {STDIN_FILENO, static_cast<short>(stdinOpen ? POLLIN : 0), 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if ((fds[0].revents & POLLIN) != 0) break;
      if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
        char chunk[256];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
          stdinOpen = false;  // no more commands; answer until a signal
          continue;
        }
        line.append(chunk, static_cast<std::size_t>(got));
        bool keepGoing = true;
        for (std::size_t end; keepGoing && (end = line.find('\n')) != std::string::npos;) {
          keepGoing = handleCommand(line.substr(0, end), simulator);
          line.erase(0, end + 1);
        }
        if (!keepGoing) break;
      }
    }
    if (!options.link.empty()) ::unlink(options.link.c_str());
    const std::string saveError = simulator.saveError();
    if (!saveError.empty()) std::fprintf(stderr, "rfid-reader-sim: %s\n", saveError.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "rfid-reader-sim: %s\n", error.what());
    return 1;
  }
  return kExitOk;
}
