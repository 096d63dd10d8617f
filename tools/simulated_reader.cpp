#include "simulated_reader.h"

#include <cstdio>
#include <exception>
#include <optional>

#include "rfid_sim/card.h"
#include "rfid_sim/desfire_fixtures.h"
#include "rfid_sim/simulator.h"

namespace rfid_tools {

std::unique_ptr<SimulatedReader> SimulatedReader::start(const Options& options,
                                                        std::string& error) {
  std::optional<rfid_sim::Card> card = rfid_sim::Card::demo();
  if (options.noCard) card.reset();
  if (const auto kind = rfid_sim::desfireKindFromName(options.simulatedCard)) {
    card = rfid_sim::Card::desfire(rfid_sim::desfireCard(*kind));
  }
  const rfid_sim::CardFile cardFile{options.cardFile, rfid_image::formatForPath(options.cardFile)};
  if (!cardFile.path.empty()) {
    std::string warning;
    card = rfid_sim::openCardFile(cardFile, *card, warning, error);
    if (!card) return nullptr;
    if (!warning.empty()) std::fprintf(stderr, "rfidctl: warning: %s\n", warning.c_str());
  }
  std::unique_ptr<SimulatedReader> reader(new SimulatedReader);
  try {
    reader->simulator_ = std::make_unique<rfid_sim::Simulator>(options.model, card);
  } catch (const std::exception& exception) {
    error = std::string("cannot start the simulated reader: ") + exception.what();
    return nullptr;
  }
  if (!cardFile.path.empty()) reader->simulator_->saveCardTo(cardFile);
  reader->simulator_->removeCardAfterWrites(options.leaveAfterWrites);
  // --fast keeps the simulator's default timing, answers at once: the
  // module's quiet wait then ends each exchange a quiet time after the
  // reply, through the same pseudo-terminal and exchange as a real reader.
  if (!options.fast) {
    // A reader's own pace, at the port's baud rate.
    rfid_sim::Timing timing = rfid_sim::Timing::typical(reader->simulator_->model());
    timing.baud = options.baud;
    reader->simulator_->setTiming(timing);
  }
  return reader;
}

SimulatedReader::~SimulatedReader() = default;

const std::string& SimulatedReader::portPath() const {
  return simulator_->portPath();
}

std::string SimulatedReader::saveError() const {
  return simulator_->saveError();
}

}  // namespace rfid_tools
