// rfidctl run as a user runs it: a separate process (under a cross
// build's emulator, where there is one), its exit code and both output
// streams.
#ifndef RFID_TOOLS_TESTS_RFIDCTL_PROCESS_H
#define RFID_TOOLS_TESTS_RFIDCTL_PROCESS_H

#include <string>
#include <vector>

namespace rfid_tools_test {

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

Result rfidctl(const std::vector<std::string>& args);

}  // namespace rfid_tools_test

#endif  // RFID_TOOLS_TESTS_RFIDCTL_PROCESS_H
