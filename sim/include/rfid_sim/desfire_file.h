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
// (all zero), as a description of a card with unknown keys has it; an
// application without "KeySettings" has 0F, without "Keys" one default
// key (what rfidctl dump writes of an application that shows neither).
#ifndef RFID_SIM_DESFIRE_FILE_H
#define RFID_SIM_DESFIRE_FILE_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "rfid_sim/desfire_card.h"

namespace rfid_sim {

// True when `text` is a JSON object whose "Type" is "DESFire".
bool isDesfireJson(const std::string& text);

// The card of a file's text; empty, with `error` naming the JSON key, for a
// malformed one. `warning` says which keys were missing.
std::optional<DesfireCard> parseDesfireJson(const std::string& text, std::string& warning,
                                            std::string& error);

// What a dump of a card could not learn, left out of its file so that the
// loader's defaults stand in: the PICC key (its "Key" and "KeyVersion"),
// the PICC's key settings (no "PICC" at all), the applications whose key
// settings and keys the card did not show, those whose keys (values and
// versions) are unproven, and those whose files were not read (no
// "Files"). The file names them in "NotRead", which the loader ignores.
struct DesfireUnknown {
  bool piccKey = false;
  bool piccSettings = false;
  std::set<std::uint32_t> settings;
  std::set<std::uint32_t> keys;
  std::set<std::uint32_t> files;
};

// One line per thing `unknown` names ("F54556 files", ...); none when the
// dump learnt all of it.
std::vector<std::string> describeUnknown(const DesfireUnknown& unknown);

// The file's text; keys only when `withKeys`, and nothing `unknown` names.
std::string desfireJson(const DesfireCard& card, bool withKeys, const DesfireUnknown& unknown = {});

// Reads `path` (refusing a file with keys that group or others may read),
// or writes it (mode 0600) whole in one step.
std::optional<DesfireCard> readDesfireFile(const std::string& path, std::string& warning,
                                           std::string& error);
bool writeDesfireFile(const std::string& path, const DesfireCard& card, std::string& error);

}  // namespace rfid_sim

#endif  // RFID_SIM_DESFIRE_FILE_H
