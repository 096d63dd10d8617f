// The checksummed reader. Requests and replies share one layout:
// [count of the bytes that follow][code][data...][XOR of every byte before].
// A reply carries the request's command code when the command was carried
// out, the command's failure code otherwise.
#include <algorithm>
#include <cstddef>

#include "models.h"

namespace rfid_sim {
namespace {

constexpr std::uint8_t kCardRequest = 0x20;
constexpr std::uint8_t kBlockRead = 0x21;
constexpr std::uint8_t kBlockWrite = 0x22;
constexpr std::uint8_t kHalt = 0x28;
constexpr std::uint8_t kBuzzer = 0x14;

// Card request modes: the wake-up form also answers halted cards.
constexpr std::uint8_t kWakeUpMode = 0;
constexpr std::uint8_t kRequestMode = 1;
constexpr std::uint8_t kMaxBuzzerValue = 10;

struct Command {
  std::uint8_t code;
  std::uint8_t lengthByte;  // count of bytes after the length byte
  std::uint8_t failure;
  const char* kind;  // as Timing names it
};
constexpr Command kCommands[] = {
    {kCardRequest, 3, 0xDF, "request"}, {kBlockRead, 10, 0xDE, "read"},
    {kBlockWrite, 26, 0xDD, "write"},   {kHalt, 2, 0xD7, "halt"},
    {kBuzzer, 3, 0xEC, "buzzer"},
};

const Command* findCommand(std::uint8_t code) {
  const Command* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                        [code](const Command& c) { return c.code == code; });
  return command != std::end(kCommands) ? command : nullptr;
}

// Request layout of the block commands.
constexpr std::size_t kKeySelectorAt = 2;
constexpr std::size_t kBlockAt = 3;
constexpr std::size_t kKeyAt = 4;
constexpr std::size_t kDataAt = kKeyAt + kKeySize;

std::uint8_t checksum(const Bytes& bytes, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum ^= bytes[i];
  return sum;
}

Bytes reply(std::uint8_t code, const Bytes& data = {}) {
  Bytes out;
  out.reserve(data.size() + 3);
  out.push_back(static_cast<std::uint8_t>(data.size() + 2));
  out.push_back(code);
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(checksum(out, out.size()));
  return out;
}

class VorReader final : public Reader {
 public:
  VorReader() : Reader(Model::kVor) {}

 protected:
  // The length byte is the only framing there is; a frame of 256 bytes at
  // most always fits.
  long frameLength(const Bytes& pending) const override {
    const long total = static_cast<long>(pending[0]) + 1;
    return static_cast<long>(pending.size()) >= total ? total : 0;
  }

  const char* kindOf(const Bytes& frame) const override {
    const Command* command = frame.size() >= 2 ? findCommand(frame[1]) : nullptr;
    return command != nullptr ? command->kind : "";
  }

  Answer handle(const Bytes& frame) override {
    if (frame.size() < 2) return {};  // no command to answer
    const std::uint8_t code = frame[1];
    const Command* command = findCommand(code);
    // Unknown commands get their code's complement, the pattern the known
    // failure codes follow.
    if (command == nullptr) return {reply(static_cast<std::uint8_t>(~code))};
    const bool wellFormed = frame[0] == command->lengthByte && frame.size() >= 3 &&
                            checksum(frame, frame.size() - 1) == frame.back();
    if (!wellFormed) return {reply(command->failure)};

    switch (code) {
      case kCardRequest:
        return {cardRequest(frame[2], command->failure)};
      case kBlockRead:
        return {blockRead(frame, command->failure)};
      case kBlockWrite:
        return {blockWrite(frame, command->failure)};
      case kHalt: {
        Card* card = field().card();
        return {reply(card != nullptr && card->halt() ? kHalt : command->failure)};
      }
      case kBuzzer:
        // The buzzer sounds on its own; the reader answers at once.
        return {reply(frame[2] <= kMaxBuzzerValue ? kBuzzer : command->failure)};
      default:
        return {reply(command->failure)};
    }
  }

 private:
  Bytes cardRequest(std::uint8_t mode, std::uint8_t failure) {
    Card* card = field().card();
    if (card == nullptr || (mode != kWakeUpMode && mode != kRequestMode) ||
        !card->request(mode == kWakeUpMode)) {
      return reply(failure);
    }
    // Serial number, then ATQA and SAK of the card, as the reader saw them.
    Bytes data = card->serial();
    const auto atqa = card->atqa();
    data.insert(data.end(), atqa.begin(), atqa.end());
    data.push_back(card->sak());
    return reply(kCardRequest, data);
  }

  // The key selector and key from the request authenticate the block's
  // sector first; a refused key leaves the card idle, as on a real card.
  Card* authenticate(const Bytes& frame) {
    Card* card = field().card();
    const int block = frame[kBlockAt];
    const auto keyType = keyTypeFromSelector(frame[kKeySelectorAt]);
    if (card == nullptr || block >= kBlockCount || !keyType) return nullptr;
    Key key{};
    std::copy_n(frame.begin() + kKeyAt, kKeySize, key.begin());
    return card->authenticate(sectorOf(block), *keyType, key) ? card : nullptr;
  }

  Bytes blockRead(const Bytes& frame, std::uint8_t failure) {
    Card* card = authenticate(frame);
    const auto data = card != nullptr ? card->readBlock(frame[kBlockAt]) : std::nullopt;
    if (!data) return reply(failure);
    return reply(kBlockRead, Bytes(data->begin(), data->end()));
  }

  Bytes blockWrite(const Bytes& frame, std::uint8_t failure) {
    Card* card = authenticate(frame);
    Block data{};
    std::copy_n(frame.begin() + kDataAt, kBlockSize, data.begin());
    if (card == nullptr || !card->writeBlock(frame[kBlockAt], data)) return reply(failure);
    return reply(kBlockWrite);
  }
};

}  // namespace

std::unique_ptr<Reader> makeVorReader() {
  return std::make_unique<VorReader>();
}

}  // namespace rfid_sim
