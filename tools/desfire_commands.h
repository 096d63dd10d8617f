// DESFire fleet cards at the bench, on the elatec reader: info (version,
// SAK, serial number, applications where listing is free), provision,
// verify (the charger's read) and unprovision, shaped like the Classic
// fleet commands. All DESFire cryptography runs here, on the host; the
// reader only carries the card's bytes (TDX). No key, session key or random
// number is ever shown.
#ifndef RFID_TOOLS_DESFIRE_COMMANDS_H
#define RFID_TOOLS_DESFIRE_COMMANDS_H

#include "console.h"
#include "rfidctl_args.h"

namespace rfid_tools {

int desfireCommand(int fd, Console& console, const Options& options);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_DESFIRE_COMMANDS_H
