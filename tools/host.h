// What rfidctl and the demo share: the serial port as a host opens it, and
// the module's calls for one reader model behind one small interface, so a
// command reads the same for both models.
#ifndef RFID_TOOLS_HOST_H
#define RFID_TOOLS_HOST_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "rfid_serial/serial_port.h"
#include "rfid_sim/reader.h"

namespace rfid_tools {

using Block = std::array<std::uint8_t, 16>;

// What a host waits after SetBeep returns: the reader beeps 500 ms on and
// 500 ms off and takes no request meanwhile, and SetBeep only waited 500 ms.
constexpr unsigned kRestAfterBeepUs = 600000;

// The module's operations for one reader model. Every call is one exchange
// (or none, where the model needs none) and so takes half a second.
class ReaderHost {
 public:
  ReaderHost(int fd, rfid_sim::Model model, std::uint8_t keySelector)
      : fd_(fd), model_(model), keySelector_(keySelector) {}

  rfid_sim::Model model() const { return model_; }
  // Card request or tag search. `serial` gets the serial number as the
  // reader sent it; false when no card answered.
  bool identify(std::vector<std::uint8_t>& serial) const;
  // Login to the sector of `block` with its key; the checksummed reader
  // needs none (its requests carry the key), so it is true there at once.
  bool login(int block) const;
  bool needsLogin() const { return model_ == rfid_sim::Model::kElatec; }
  bool read(int block, Block& data) const;
  bool write(int block, const Block& data) const;

 private:
  int fd_;
  rfid_sim::Model model_;
  std::uint8_t keySelector_;
};

// A block as one line of a table: hex bytes, then the printable ASCII.
std::string formatBlock(const Block& data);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_HOST_H
