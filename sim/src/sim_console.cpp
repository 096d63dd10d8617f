#include "sim_console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "rfid_hex/hex.h"
#include "rfid_host/exit_code.h"
#include "rfid_serial/unique_fd.h"
#include "rfid_sim/simulator.h"

namespace rfid_reader_sim {
namespace {

using rfid_sim::Simulator;

// The signal handler's only job: wake the main loop.
int stopWrite = -1;
extern "C" void onStopSignal(int) {
  const char byte = 0;
  (void)!::write(stopWrite, &byte, 1);
}

// SIGINT and SIGTERM make `readEnd()` readable.
class StopSignal {
 public:
  // False, with errno set, when no pipe can be had.
  bool install() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read_.reset(ends[0]);
    write_.reset(ends[1]);
    stopWrite = ends[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
  }
  int readEnd() const { return read_.get(); }

 private:
  rfid_serial::UniqueFd read_;
  rfid_serial::UniqueFd write_;
};

void printStatus(const Simulator& simulator) {
  const auto card = simulator.card();
  if (!card) {
    std::printf("field: empty\n");
  } else {
    const char* kind = "7-byte serial";
    if (card->kind() == rfid_sim::Card::Kind::kMifareClassic1K) kind = "MIFARE Classic 1K";
    if (card->kind() == rfid_sim::Card::Kind::kDesfire) kind = "DESFire";
    std::printf("field: %s card %s\n", kind, rfid_hex::toHex(card->serial()).c_str());
  }
  std::fflush(stdout);
}

// Handles one line typed on standard input; false to stop.
bool handleCommand(std::string line, Simulator& simulator) {
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

// Takes what standard input has; false on "quit".
bool readCommands(std::string& pending, bool& stdinOpen, Simulator& simulator) {
  char chunk[256];
  const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (got <= 0) {
    stdinOpen = false;  // no more commands; answer until a signal
    return true;
  }
  pending.append(chunk, static_cast<std::size_t>(got));
  for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
    const std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    if (!handleCommand(line, simulator)) return false;
  }
  return true;
}

// Until a stop signal, "quit", or a failed poll.
void runConsole(Simulator& simulator, int stopFd) {
  bool stdinOpen = true;
  std::string pending;
  for (;;) {
    // Once standard input has ended it is left out of the poll (a negative
    // descriptor): a closed pipe reports POLLHUP whatever events are asked
    // for, and polling it would spin.
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if ((fds[0].revents & POLLIN) != 0) return;
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0 &&
        !readCommands(pending, stdinOpen, simulator)) {
      return;
    }
  }
}

void announce(const Options& options, const Simulator& simulator) {
  std::printf("%s\n", simulator.portPath().c_str());
  std::fprintf(stderr,
               "rfid-reader-sim: %s reader on %s%s%s; commands on standard input: remove, "
               "insert, status, quit\n",
               rfid_sim::modelName(options.model), simulator.portPath().c_str(),
               options.link.empty() ? "" : ", linked as ", options.link.c_str());
  std::fflush(stdout);
  printStatus(simulator);
}

void traceTo(Simulator& simulator) {
  simulator.setTrace([](bool fromHost, const std::uint8_t* bytes, std::size_t count) {
    std::fprintf(stderr, "%s %s\n", fromHost ? "reader got " : "reader sent",
                 rfid_hex::toHex(bytes, count, " ").c_str());
  });
}

}  // namespace

int serve(const Options& options, std::optional<rfid_sim::Card> card) {
  StopSignal stop;
  if (!stop.install()) {
    std::perror("rfid-reader-sim: pipe");
    return rfid_host::kExitFailed;
  }
  try {
    Simulator simulator(options.model, std::move(card));
    simulator.setTiming(options.timing);
    if (!options.cardFile.path.empty()) simulator.saveCardTo(options.cardFile);
    if (options.trace) traceTo(simulator);
    if (!options.link.empty()) {
      ::unlink(options.link.c_str());
      if (::symlink(simulator.portPath().c_str(), options.link.c_str()) != 0) {
        std::fprintf(stderr, "rfid-reader-sim: %s: %s\n", options.link.c_str(),
                     std::strerror(errno));
        return rfid_host::kExitUsage;
      }
    }
    announce(options, simulator);
    runConsole(simulator, stop.readEnd());
    if (!options.link.empty()) ::unlink(options.link.c_str());
    const std::string saveError = simulator.saveError();
    if (!saveError.empty()) std::fprintf(stderr, "rfid-reader-sim: %s\n", saveError.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "rfid-reader-sim: %s\n", error.what());
    return rfid_host::kExitFailed;
  }
  return rfid_host::kExitOk;
}

}  // namespace rfid_reader_sim
