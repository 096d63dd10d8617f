// The commands on a whole card: dump (and --save in the card-dump formats of
// other MIFARE tools), keys (which key of a dictionary opens each sector)
// and restore (a dump written back and read back). They go sector by sector
// through the module's own functions, identifying the card again after each
// refusal as a host must.
#ifndef RFID_TOOLS_CARD_COMMANDS_H
#define RFID_TOOLS_CARD_COMMANDS_H

#include "console.h"
#include "host.h"
#include "rfidctl_args.h"

namespace rfid_tools {

constexpr const char* kNoCard = "no card in the field: hold a card on the reader and try again";

int dumpCard(const ReaderHost& host, Console& console, const Options& options);
int findKeys(const ReaderHost& host, Console& console, const Options& options);
int restoreCard(const ReaderHost& host, Console& console, const Options& options);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_CARD_COMMANDS_H
