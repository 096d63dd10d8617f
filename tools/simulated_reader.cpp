#include "simulated_reader.h"

#include <exception>
#include <optional>

#include "rfid_sim/card.h"
#include "rfid_sim/fast_exchange.h"
#include "rfid_sim/simulator.h"

namespace rfid_tools {

std::unique_ptr<SimulatedReader> SimulatedReader::start(const Options& options,
                                                        std::string& error) {
  std::optional<rfid_sim::Card> card = rfid_sim::Card::demo();
  if (options.noCard) card.reset();
  if (!options.cardFile.empty()) {
    card = rfid_sim::openCardFile(options.cardFile, *card, error);
    if (!card) return nullptr;
  }
  std::unique_ptr<SimulatedReader> reader(new SimulatedReader);
  try {
    reader->simulator_ = std::make_unique<rfid_sim::Simulator>(
        options.model == Model::kVor ? rfid_sim::Model::kVor : rfid_sim::Model::kElatec, card);
  } catch (const std::exception& exception) {
    error = std::string("cannot start the simulated reader: ") + exception.what();
    return nullptr;
  }
  if (!options.cardFile.empty()) reader->simulator_->saveCardTo(options.cardFile);
  if (options.fast) reader->fast_ = std::make_unique<rfid_sim::FastExchange>(*reader->simulator_);
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
