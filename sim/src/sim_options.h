// rfid-reader-sim's command line and the card it puts in the field.
#ifndef RFID_SIM_SRC_SIM_OPTIONS_H
#define RFID_SIM_SRC_SIM_OPTIONS_H

#include <optional>
#include <string>

#include "rfid_sim/card.h"
#include "rfid_sim/desfire_fixtures.h"
#include "rfid_sim/reader.h"

namespace rfid_reader_sim {

enum class CardKind { kClassic, kSevenByte, kNone, kDesfire };

struct Options {
  rfid_sim::Model model = rfid_sim::Model::kVor;
  CardKind cardKind = CardKind::kClassic;
  rfid_sim::DesfireKind desfireKind = rfid_sim::DesfireKind::kFactory;  // with kDesfire
  rfid_sim::Bytes serial;       // empty: the card kind's default
  rfid_sim::CardFile cardFile;  // an empty path: none
  std::string link;
  bool trace = false;
  // Reply delays and baud rate: Timing::typical() of the model, with what
  // --reply-delay-ms and --baud changed.
  rfid_sim::Timing timing;
};

// Fills `options` from the arguments. When the program is to stop at once
// it has printed the help (exit 0) or the fault and the help (exit 2), and
// returns the exit code.
std::optional<int> parseOptions(int argc, const char* const* argv, Options& options);

// The card the options put in the field (empty for --card none), from
// options as parseOptions checked them. `warning` says what a card file
// did not know. False, with `error` set, when the card file can be neither
// read nor created, or is malformed.
bool makeCard(const Options& options, std::optional<rfid_sim::Card>& card, std::string& warning,
              std::string& error);

}  // namespace rfid_reader_sim

#endif  // RFID_SIM_SRC_SIM_OPTIONS_H
