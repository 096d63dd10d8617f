// What the command lines of the programs around the module (rfidctl,
// rfid-reader-sim) share: a fault in one argument that ends the program
// with the usage exit code, and an option whose text a parser turns into
// its value. Built on CLI11, which each of those programs links; nothing
// else includes this header.
#ifndef RFID_HOST_CLI_OPTION_H
#define RFID_HOST_CLI_OPTION_H

#include <CLI/CLI.hpp>
#include <string>

#include "rfid_host/exit_code.h"

namespace rfid_host {

// A fault in one argument, found while parsing; its text is the whole
// message.
class BadArgument : public CLI::ParseError {
 public:
  explicit BadArgument(const std::string& message)
      : CLI::ParseError("BadArgument", message, kExitUsage) {}
};

// An option whose text `parse` turns into `target` (`parse` returns an
// optional, empty for text it refuses); refused text is a BadArgument,
// `fault` its message with "{}" standing for the text as given.
template <typename Target, typename Parse>
CLI::Option* addParsed(CLI::App& app, const std::string& name, Target& target, Parse parse,
                       const std::string& fault, const std::string& help) {
  return app.add_option_function<std::string>(
      name,
      [&target, parse, fault](const std::string& text) {
        const auto value = parse(text);
        if (!value) {
          std::string message = fault;
          const std::size_t at = message.find("{}");
          if (at != std::string::npos) message.replace(at, 2, text);
          throw BadArgument(message);
        }
        target = *value;
      },
      help);
}

}  // namespace rfid_host

#endif  // RFID_HOST_CLI_OPTION_H
