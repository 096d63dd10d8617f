// What rfidctl and the demo share: the module's calls for one reader model
// behind one small interface, so a command reads the same for both models,
// and the text forms of serial numbers and blocks. Nothing here knows of the
// simulated readers; a host reaches a real reader through this alone.
#ifndef RFID_TOOLS_HOST_H
#define RFID_TOOLS_HOST_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rfid_hex/hex.h"

namespace rfid_tools {

using Block = std::array<std::uint8_t, 16>;

// Values the module's header leaves to its hosts: the module types, the tag
// search's first stage, and the sizes of a serial-number record and a block.
constexpr int kModuleVor = 0;
constexpr int kModuleElatec = 1;
constexpr int kSearchStage = 1;
constexpr std::size_t kSerialRecordSize = 8;
constexpr std::size_t kBlockSize = 16;

// The two reader families, named on the command line as "vor" and "elatec".
enum class Model { kVor, kElatec };
std::optional<Model> modelFromName(const std::string& name);
const char* modelName(Model model);

// What a host waits after SetBeep returns: the reader beeps 500 ms on and
// 500 ms off and takes no request meanwhile, and SetBeep only waited 500 ms.
constexpr unsigned kRestAfterBeepUs = 600000;

// The module's operations for one reader model. Every call is one exchange
// (or none, where the model needs none) and so takes half a second.
class ReaderHost {
 public:
  ReaderHost(int fd, Model model, std::uint8_t keySelector)
      : fd_(fd), model_(model), keySelector_(keySelector) {}

  Model model() const { return model_; }
  // Card request or tag search. `serial` gets the serial number as the
  // reader sent it; false when no card answered.
  bool identify(std::vector<std::uint8_t>& serial) const;
  // Login to the sector of `block` with its key; the vor reader needs none
  // (its requests carry the key), so it is true there at once.
  bool login(int block) const;
  bool needsLogin() const { return model_ == Model::kElatec; }
  bool read(int block, Block& data) const;
  bool write(int block, const Block& data) const;

 private:
  int fd_;
  Model model_;
  std::uint8_t keySelector_;
};

// The tools print and read hex as the rest of the system does.
using rfid_hex::fromHex;
using rfid_hex::toHex;

// A block as one line of a table: hex bytes, then the printable ASCII.
std::string formatBlock(const Block& data);

}  // namespace rfid_tools

#endif  // RFID_TOOLS_HOST_H
