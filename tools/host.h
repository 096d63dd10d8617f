// What rfidctl and the demo share: the host library's reader (the module's
// calls for one reader model behind one interface, so a command reads the
// same for both models), and the text forms of serial numbers and blocks.
// Nothing here knows of the simulated readers; a host reaches a real reader
// through this alone.
#ifndef RFID_TOOLS_HOST_H
#define RFID_TOOLS_HOST_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Module_RFID_ext.h"
#include "rfid_hex/hex.h"
#include "rfid_host/model.h"
#include "rfid_host/reader.h"

namespace rfid_tools {

// The module's values that Module_RFID_ext.h publishes, under the tools' names.
constexpr int kModuleVor = RFID_MODULE_VOR;
constexpr int kModuleElatec = RFID_MODULE_ELATEC;
constexpr int kSearchStage = RFID_STAGE_SEARCH;
constexpr std::size_t kSerialRecordSize = RFID_SERIAL_RECORD_SIZE;
constexpr std::size_t kBlockSize = RFID_BLOCK_SIZE;

using rfid_host::Model;
using rfid_host::modelFromName;
using rfid_host::modelName;

// The reader interface of the host library, under the tools' names.
using ReaderHost = rfid_host::Reader;
using rfid_host::Block;
using rfid_host::kRestAfterBeepUs;
using rfid_host::makeReader;

// The tools print and read hex as the rest of the system does.
using rfid_hex::fromHex;
using rfid_hex::toHex;

// A block as one line of a table: hex bytes, then the printable ASCII.
std::string formatBlock(const Block& data);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_HOST_H
