// A DESFire card as a JSON card file, which rfid-reader-sim's --card-file
// loads and rewrites after every change:
//
//   {
//     "Type": "DESFire",
//     "Serial": "04782E21801D80",
//     "Version": "EV3",                      (EV1, EV2 or EV3)
//     "Seed": 1,                             (optional: the card's random numbers)
//     "PICC": { "KeySettings": "0F", "Key": "00..00", "KeyVersion": 0 },
//     "Applications": [
//       { "AID": "F54556", "KeySettings": "09",
//         "Keys": [ { "Key": "F9D5..", "Version": 1 }, ... ],
//         "Files": [ { "File": 1, "CommMode": "full", "Rights": "1000",
//                      "Data": "0100..." } ] } ]
//   }
//
// The AID and the access rights are written most significant first, as the
// fleet key file writes the AID. Keys make it a bench file: a file that
// holds a "Key" must be of mode 0600 (only its owner reads it), and the
// simulator writes its files so. Without "Key" a key is the default key
// (all zero), as a description of a card with unknown keys has it.
#ifndef RFID_SIM_DESFIRE_FILE_H
#define RFID_SIM_DESFIRE_FILE_H

#include <optional>
#include <string>

#include "rfid_sim/desfire_card.h"

namespace rfid_sim {

// True when `text` is a JSON object whose "Type" is "DESFire".
bool isDesfireJson(const std::string& text);

// The card of a file's text; empty, with `error` naming the JSON key, for a
// malformed one. `warning` says which keys were missing.
std::optional<DesfireCard> parseDesfireJson(const std::string& text, std::string& warning,
                                            std::string& error);

// The file's text; keys only when `withKeys`.
std::string desfireJson(const DesfireCard& card, bool withKeys);

// Reads `path` (refusing a file with keys that group or others may read),
// or writes it (mode 0600) whole in one step.
std::optional<DesfireCard> readDesfireFile(const std::string& path, std::string& warning,
                                           std::string& error);
bool writeDesfireFile(const std::string& path, const DesfireCard& card, std::string& error);

}  // namespace rfid_sim

#endif  // RFID_SIM_DESFIRE_FILE_H
