// rfidctl --simulate: a simulated reader in this process on a
// pseudo-terminal, which rfidctl then opens as it would a reader's port.
// The only part of rfidctl that starts the simulator.
#ifndef RFID_TOOLS_SIMULATED_READER_H
#define RFID_TOOLS_SIMULATED_READER_H

#include <memory>
#include <string>

#include "rfidctl_args.h"

namespace rfid_sim {
class Simulator;
}  // namespace rfid_sim

namespace rfid_tools {

class SimulatedReader {
 public:
  // Starts the reader of `options.model` with the demo card, no card
  // (--no-card) or the card of --card-file (in the format its extension
  // names, binary for any other). It answers with a real reader's
  // typical delays at the port's baud rate; with --fast at once. Empty, with `error` set, when the
  // card file cannot be used or no pseudo-terminal can be had.
  static std::unique_ptr<SimulatedReader> start(const Options& options, std::string& error);
  ~SimulatedReader();
  SimulatedReader(const SimulatedReader&) = delete;
  SimulatedReader& operator=(const SimulatedReader&) = delete;

  const std::string& portPath() const;
  // Why the card file could not be kept up to date; empty when it was.
  std::string saveError() const;

 private:
  SimulatedReader() = default;

  std::unique_ptr<rfid_sim::Simulator> simulator_;
};

}  // namespace rfid_tools

#endif  // RFID_TOOLS_SIMULATED_READER_H
