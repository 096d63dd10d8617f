// rfid-reader-sim: a simulated card reader on a pseudo-terminal, for hosts
// developed with no reader on the desk.
#include <cstdio>
#include <optional>
#include <string>

#include "rfid_host/exit_code.h"
#include "sim_console.h"
#include "sim_options.h"

int main(int argc, char** argv) {
  rfid_reader_sim::Options options;
  if (const auto exitCode = rfid_reader_sim::parseOptions(argc, argv, options)) return *exitCode;
  std::optional<rfid_sim::Card> card;
  std::string warning;
  std::string error;
  // A card file that cannot be used: the arguments were fine.
  if (!rfid_reader_sim::makeCard(options, card, warning, error)) {
    std::fprintf(stderr, "rfid-reader-sim: %s\n", error.c_str());
    return rfid_host::kExitUsage;
  }
  if (!warning.empty()) std::fprintf(stderr, "rfid-reader-sim: warning: %s\n", warning.c_str());
  return rfid_reader_sim::serve(options, std::move(card));
}
