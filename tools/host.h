// What rfidctl and the demo share: the host library's reader (the module's
// calls for one reader model behind one interface, so a command reads the
// same for both models), and the text forms of serial numbers and blocks.
// Nothing here knows of the simulated readers; a host reaches a real reader
// through this alone.
#ifndef RFID_TOOLS_HOST_H
#define RFID_TOOLS_HOST_H

#include <string>

#include "rfid_hex/hex.h"
#include "rfid_host/model.h"
#include "rfid_host/reader.h"

namespace rfid_tools {

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
