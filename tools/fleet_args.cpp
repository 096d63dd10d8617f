#include "fleet_args.h"

#include "rfid_hex/hex.h"

namespace rfid_tools {
namespace {

constexpr int kMaxMacKeyId = 255;

void yesFlag(CLI::App& command, Options& options, const char* what) {
  command.add_flag("--yes", options.yes, what);
}

bool isFleetCommand(Command command) {
  return command == Command::kProvision || command == Command::kVerify ||
         command == Command::kUnprovision;
}

}  // namespace

void fleetOption(CLI::App& command, Options& options, const char* help) {
  command.add_option("--fleet", options.fleetPath, help)->type_name("FILE");
}

CLI::Option* positional(CLI::Option* option) {
  return option->required()->type_name("");
}

void provisionOptions(CLI::App& command, Options& options) {
  fleetOption(command, options);
  command.add_option("--token-id", options.tokenIdText, "the token id, 12 hex digits")
      ->type_name("HEX12");
  command
      .add_option("--mac-key-id", options.macKeyIdText,
                  "the MAC key to sign with, 1-255 (default: the highest id in the file)")
      ->type_name("N");
  yesFlag(command, options, "write the card; without it, only say what would be written");
}

void verifyOptions(CLI::App& command, Options& options) {
  fleetOption(command, options);
}

void unprovisionOptions(CLI::App& command, Options& options) {
  fleetOption(command, options);
  yesFlag(command, options, "write the card; without it, only say what would be written");
}

void desfireOptions(CLI::App& command, Options& options) {
  positional(command.add_option("ACTION", options.desfireAction,
                                "info, provision, verify or unprovision"));
  fleetOption(command, options);
  command.add_option("--token-id", options.tokenIdText, "provision: the token id, 12 hex digits")
      ->type_name("HEX12");
  yesFlag(command, options,
          "provision, unprovision: write the card; without it, only say what would be written");
}

namespace {

std::optional<std::string> checkDesfireArguments(Options& options) {
  const std::string& action = options.desfireAction;
  if (action != "info" && action != "provision" && action != "verify" && action != "unprovision") {
    return "desfire takes info, provision, verify or unprovision, got '" + action + "'";
  }
  if (options.model != Model::kElatec) {
    return std::string(
        "desfire is for --model elatec: the DESFire exchange runs through the elatec reader");
  }
  if (action != "info" && options.fleetPath.empty()) {
    return "desfire " + action + " needs --fleet FILE, the fleet key file with a [desfire] table";
  }
  if (action != "provision") {
    if (!options.tokenIdText.empty()) return std::string("--token-id belongs to desfire provision");
    return std::nullopt;
  }
  if (options.tokenIdText.empty()) {
    return std::string(
        "desfire provision needs --token-id HEX12, the token id to write (12 hex digits)");
  }
  const auto tokenId = rfid_hex::parseHex<6>(options.tokenIdText);
  if (!tokenId) {
    return "--token-id takes 12 hex digits (6 bytes), got '" + options.tokenIdText + "'";
  }
  options.tokenId = *tokenId;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> checkFleetArguments(Options& options) {
  if (options.command == Command::kDesfire) return checkDesfireArguments(options);
  if (!isFleetCommand(options.command)) return std::nullopt;
  if (options.fleetPath.empty()) {
    return options.commandName + " needs --fleet FILE, the fleet key file";
  }
  if (options.command != Command::kProvision) return std::nullopt;
  if (options.tokenIdText.empty()) {
    return std::string("provision needs --token-id HEX12, the token id to write (12 hex digits)");
  }
  const auto tokenId = rfid_hex::parseHex<6>(options.tokenIdText);
  if (!tokenId) {
    return "--token-id takes 12 hex digits (6 bytes), got '" + options.tokenIdText + "'";
  }
  options.tokenId = *tokenId;
  if (!options.macKeyIdText.empty()) {
    const std::string& text = options.macKeyIdText;
    const bool digits =
        text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
    const int id = digits ? std::stoi(text) : 0;
    if (!digits || id < 1 || id > kMaxMacKeyId) {
      return "--mac-key-id takes a key id 1 to 255, got '" + text + "'";
    }
    options.macKeyId = id;
  }
  return std::nullopt;
}

}  // namespace rfid_tools
