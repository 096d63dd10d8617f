// DESFire fleet cards at the bench, on the elatec reader: info (version,
// SAK, serial number, applications where listing is free), provision,
// verify (the charger's read) and unprovision, shaped like the Classic
// fleet commands. All DESFire cryptography runs here, on the host; the
// reader only carries the card's bytes (TDX). No key, session key or random
// number is ever shown.
#ifndef RFID_TOOLS_DESFIRE_COMMANDS_H
#define RFID_TOOLS_DESFIRE_COMMANDS_H

#include <optional>

#include "console.h"
#include "rfidctl_args.h"

namespace rfid_tools {

int desfireCommand(int fd, Console& console, const Options& options);

// dump on the elatec reader of a DESFire card (SAK with 0x20, a 7-byte
// serial number or a Random ID, an answer to GetVersion): what the card
// shows, and with --save its card file as the simulator's --card-file
// loads it. With --fleet the fleet application is read with the fleet's
// keys; keys 0 and 1 go into the file only with the bench's K_DM, after
// they authenticated, and only into a file of mode 0600. Empty for any
// other card (or none): the Classic dump takes it.
std::optional<int> dumpDesfireCard(int fd, Console& console, const Options& options);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_DESFIRE_COMMANDS_H
