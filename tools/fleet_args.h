// The arguments of rfidctl's fleet card commands (provision, verify,
// unprovision), set up beside the other commands' in rfidctl_args.cpp.
#ifndef RFID_TOOLS_FLEET_ARGS_H
#define RFID_TOOLS_FLEET_ARGS_H

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "rfidctl_args.h"

namespace rfid_tools {

// --fleet FILE, the fleet key file; `help` says what the command does with
// it.
void fleetOption(CLI::App& command, Options& options,
                 const char* help = "the fleet key file (TOML, mode 0600; see docs/security.md)");
// A command's argument: it must be given, and the help names it alone, as
// the command's line there shows it (CLI11 would add its type).
CLI::Option* positional(CLI::Option* option);

void provisionOptions(CLI::App& command, Options& options);
void verifyOptions(CLI::App& command, Options& options);
void unprovisionOptions(CLI::App& command, Options& options);

// The fleet commands' values, checked once everything is parsed: a usage
// fault in one line, or nothing.
void desfireOptions(CLI::App& command, Options& options);
std::optional<std::string> checkFleetArguments(Options& options);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_FLEET_ARGS_H
