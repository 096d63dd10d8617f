// rfid-reader-sim at work: the simulated reader on its pseudo-terminal, and
// the commands typed on standard input that change its field.
#ifndef RFID_SIM_SRC_SIM_CONSOLE_H
#define RFID_SIM_SRC_SIM_CONSOLE_H

#include <optional>

#include "rfid_sim/card.h"
#include "sim_options.h"

namespace rfid_reader_sim {

// Starts the reader with `card` in the field, prints the serial side's path
// on the first line of standard output, and answers until SIGINT, SIGTERM
// or "quit". Returns the exit code.
int serve(const Options& options, std::optional<rfid_sim::Card> card);

}  // namespace rfid_reader_sim

#endif  // RFID_SIM_SRC_SIM_CONSOLE_H
