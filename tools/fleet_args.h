// The arguments of rfidctl's fleet card commands (provision, verify,
// unprovision), set up beside the other commands' in rfidctl_args.cpp.
#ifndef RFID_TOOLS_FLEET_ARGS_H
#define RFID_TOOLS_FLEET_ARGS_H

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "rfidctl_args.h"

namespace rfid_tools {

void provisionOptions(CLI::App& command, Options& options);
void verifyOptions(CLI::App& command, Options& options);
void unprovisionOptions(CLI::App& command, Options& options);

// The fleet commands' values, checked once everything is parsed: a usage
// fault in one line, or nothing.
void desfireOptions(CLI::App& command, Options& options);
std::optional<std::string> checkFleetArguments(Options& options);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_FLEET_ARGS_H
