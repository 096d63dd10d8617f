// The length-prefixed reader in binary mode, without CRC.
// Request: [count of the bytes that follow, 16-bit little endian][class]
// [function][parameters...]. Reply: [count, 16-bit little endian][status]
// and, when the status is 0 (understood), the function's result byte and
// its data.
#include <algorithm>
#include <cstddef>

#include "models.h"

namespace rfid_sim {
namespace {

// Status byte of every reply: whether the reader understood the request.
// Only a reply with kUnderstood carries the function's result.
enum class Status : std::uint8_t {
  kUnderstood = 0,
  kUnknownFunction = 1,
  kMissingParameter = 2,
  kUnusedParameters = 3,
  kParserError = 5,
};

constexpr std::uint8_t kFalse = 0;
constexpr std::uint8_t kTrue = 1;

// A request longer than this is not one the reader knows; its input buffer
// is dropped rather than waiting for tens of kilobytes.
constexpr long kMaxRequestCount = 512;
constexpr std::size_t kHeaderSize = 2;  // the count
constexpr std::size_t kParametersAt = 4;

// Tag type reported for MIFARE family cards, and the beep's parameters.
constexpr std::uint8_t kTagTypeMifare = 0x80;
constexpr std::size_t kBeepOnTimeAt = kParametersAt + 3;
constexpr std::size_t kBeepOffTimeAt = kParametersAt + 5;

enum class Function { kSearchTag, kLogin, kReadBlock, kWriteBlock, kBeep, kGetSak, kTransceive };
struct FunctionEntry {
  std::uint8_t group;
  std::uint8_t number;
  std::size_t parameterCount;
  Function function;
  const char* kind;  // as Timing names it
};
constexpr FunctionEntry kFunctions[] = {
    {5, 0, 1, Function::kSearchTag, "search"},    // max ID bytes
    {11, 0, 8, Function::kLogin, "login"},        // key[6], key type, sector
    {11, 1, 1, Function::kReadBlock, "read"},     // block
    {11, 2, 17, Function::kWriteBlock, "write"},  // block, data[16]
    {4, 7, 7, Function::kBeep, "beep"},           // volume, frequency, on time, off time
    {0x12, 5, 0, Function::kGetSak, "sak"},
    // TX length, TX bytes, largest RX length: its count is checked on its own.
    {0x12, 3, 2, Function::kTransceive, "tdx"},
};

// A DESFire card's time on the air, as the simulator assumes it until a
// card is measured: 2 ms of frame delay and processing per exchange, and
// 0.1 ms per byte carried either way (ISO 14443 at 106 kbit/s, 9 bits a
// byte, with a block's prologue and CRC around command and reply).
constexpr std::chrono::microseconds kAirTimePerExchange{2000};
constexpr std::chrono::microseconds kAirTimePerByte{100};
constexpr std::size_t kBlockFramingBytes = 3;
// The longest card reply the reader hands on in one frame.
constexpr std::size_t kMaxRxLength = 251;

const FunctionEntry* findFunction(const Bytes& frame) {
  if (frame.size() < kParametersAt) return nullptr;
  const FunctionEntry* entry = std::find_if(
      std::begin(kFunctions), std::end(kFunctions),
      [&](const FunctionEntry& e) { return e.group == frame[2] && e.number == frame[3]; });
  return entry != std::end(kFunctions) ? entry : nullptr;
}

Bytes reply(Status status, const Bytes& payload = {}) {
  const std::size_t count = payload.size() + 1;
  // Sized once and filled in place: appending to a three-byte vector trips
  // a false -Warray-bounds of GCC 12 at -O3.
  Bytes out(2 + count);
  out[0] = static_cast<std::uint8_t>(count & 0xFF);
  out[1] = static_cast<std::uint8_t>(count >> 8);
  out[2] = static_cast<std::uint8_t>(status);
  std::copy(payload.begin(), payload.end(), out.begin() + 3);
  return out;
}

Bytes result(bool ok, const Bytes& data = {}) {
  Bytes payload = {ok ? kTrue : kFalse};
  if (ok) payload.insert(payload.end(), data.begin(), data.end());
  return reply(Status::kUnderstood, payload);
}

unsigned littleEndian16(const Bytes& bytes, std::size_t at) {
  return static_cast<unsigned>(bytes[at]) | (static_cast<unsigned>(bytes[at + 1]) << 8);
}

class ElatecReader final : public Reader {
 public:
  ElatecReader() : Reader(Model::kElatec) {}

 protected:
  long frameLength(const Bytes& pending) const override {
    if (pending.size() < kHeaderSize) return 0;
    const long count = static_cast<long>(littleEndian16(pending, 0));
    if (count > kMaxRequestCount) return -1;
    const long total = count + static_cast<long>(kHeaderSize);
    return static_cast<long>(pending.size()) >= total ? total : 0;
  }

  Bytes unframeableAnswer() const override { return reply(Status::kParserError); }

  const char* kindOf(const Bytes& frame) const override {
    const FunctionEntry* entry = findFunction(frame);
    return entry != nullptr ? entry->kind : "";
  }

  Answer handle(const Bytes& frame) override {
    if (frame.size() < kParametersAt)
      return {reply(Status::kParserError)};  // no class and function
    const FunctionEntry* entry = findFunction(frame);
    if (entry == nullptr) return {reply(Status::kUnknownFunction)};
    const std::size_t parameters = frame.size() - kParametersAt;
    if (entry->function == Function::kTransceive) return transceive(frame);
    if (parameters < entry->parameterCount) return {reply(Status::kMissingParameter)};
    if (parameters > entry->parameterCount) return {reply(Status::kUnusedParameters)};

    switch (entry->function) {
      case Function::kSearchTag:
        return {searchTag(frame[kParametersAt])};
      case Function::kLogin:
        return {login(frame)};
      case Function::kReadBlock:
        return {readBlock(frame[kParametersAt])};
      case Function::kWriteBlock:
        return {writeBlock(frame)};
      case Function::kGetSak: {
        const Card* card = field().card();
        if (card == nullptr || card->state() != Card::State::kActive) return {result(false)};
        return {result(true, {card->sak()})};
      }
      case Function::kTransceive:
        return transceive(frame);
      case Function::kBeep: {
        // The reader sounds the beep and pauses for the off time before it
        // answers or takes the next request.
        const auto busy = std::chrono::milliseconds(littleEndian16(frame, kBeepOnTimeAt) +
                                                    littleEndian16(frame, kBeepOffTimeAt));
        return {reply(Status::kUnderstood), busy};
      }
    }
    return {reply(Status::kUnknownFunction)};
  }

 private:
  Bytes searchTag(std::uint8_t maxIdBytes) {
    Card* card = field().card();
    if (card == nullptr || !card->request(false)) return result(false);
    const Bytes serial = card->serial();
    if (serial.size() > maxIdBytes) return result(false);
    Bytes data = {kTagTypeMifare, static_cast<std::uint8_t>(serial.size() * 8),
                  static_cast<std::uint8_t>(serial.size())};
    data.insert(data.end(), serial.begin(), serial.end());
    return result(true, data);
  }

  // TDX: the card's reply with its length in front, or false when no
  // selected ISO 14443-4 card answers (a Classic card, an empty field).
  Answer transceive(const Bytes& frame) {
    const std::size_t parameters = frame.size() - kParametersAt;
    if (parameters < 2) return {reply(Status::kMissingParameter)};
    const std::size_t txLength = frame[kParametersAt];
    if (parameters < txLength + 2) return {reply(Status::kMissingParameter)};
    if (parameters > txLength + 2) return {reply(Status::kUnusedParameters)};
    const std::size_t rxLimit = frame[kParametersAt + 1 + txLength];
    Card* card = field().card();
    DesfireCard* desfire = card != nullptr ? card->desfire() : nullptr;
    if (desfire == nullptr || card->state() != Card::State::kActive || txLength == 0) {
      return {result(false)};
    }
    const Bytes tx(frame.begin() + kParametersAt + 1, frame.begin() + kParametersAt + 1 + txLength);
    const Bytes rx = desfire->transceive(tx);
    Answer answer;
    answer.airTime =
        kAirTimePerExchange +
        kAirTimePerByte * static_cast<long>(tx.size() + rx.size() + 2 * kBlockFramingBytes);
    if (rx.size() > rxLimit || rx.size() > kMaxRxLength) {
      answer.reply = result(false);
      return answer;
    }
    Bytes data = {static_cast<std::uint8_t>(rx.size())};
    data.insert(data.end(), rx.begin(), rx.end());
    answer.reply = result(true, data);
    return answer;
  }

  Bytes login(const Bytes& frame) {
    Card* card = field().card();
    Key key{};
    std::copy_n(frame.begin() + kParametersAt, kKeySize, key.begin());
    const auto keyType = keyTypeFromSelector(frame[kParametersAt + kKeySize]);
    const int sector = frame[kParametersAt + kKeySize + 1];
    return result(card != nullptr && keyType && sector < kSectorCount &&
                  card->authenticate(sector, *keyType, key));
  }

  // Reads and writes use the login the reader holds: the card's
  // authenticated sector.
  Bytes readBlock(int block) {
    const Card* card = field().card();
    const auto data = card != nullptr ? card->readBlock(block) : std::nullopt;
    if (!data) return result(false);
    return result(true, Bytes(data->begin(), data->end()));
  }

  Bytes writeBlock(const Bytes& frame) {
    Card* card = field().card();
    Block data{};
    std::copy_n(frame.begin() + kParametersAt + 1, kBlockSize, data.begin());
    return result(card != nullptr && card->writeBlock(frame[kParametersAt], data));
  }
};

}  // namespace

std::unique_ptr<Reader> makeElatecReader() {
  return std::make_unique<ElatecReader>();
}

}  // namespace rfid_sim
