// Fleet cards at the bench: provision turns a factory card into a fleet
// card (its own keys in every sector, the MAC'd token in block 4), verify
// reads and checks the token as a charger does, unprovision puts the
// factory state back. All through the module's own functions; the card's
// keys are derived from the fleet key file and never shown.
#ifndef RFID_TOOLS_FLEET_COMMANDS_H
#define RFID_TOOLS_FLEET_COMMANDS_H

#include "console.h"
#include "host.h"
#include "rfidctl_args.h"

namespace rfid_tools {

int provisionCard(int fd, Console& console, const Options& options);
int verifyCard(int fd, Console& console, const Options& options);
int unprovisionCard(int fd, Console& console, const Options& options);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_FLEET_COMMANDS_H
