// The two reader models behind Reader::create().
#ifndef RFID_SIM_MODELS_H
#define RFID_SIM_MODELS_H

#include <memory>

#include "rfid_sim/reader.h"

namespace rfid_sim {

std::unique_ptr<Reader> makeVorReader();
std::unique_ptr<Reader> makeElatecReader();

}  // namespace rfid_sim

#endif  // RFID_SIM_MODELS_H
