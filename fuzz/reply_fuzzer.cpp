// libFuzzer targets for the reply handling of every reader operation and of
// the exchange itself. One source, one target per operation: the build names
// the operation in RFID_FUZZ_TARGET.
//
// Input layout (the seed corpus under fuzz/corpus/ follows it):
//   byte 0  descriptor (high nibble) and module type (low 3 bits)
//   byte 1  block number (below 0xF0: block % 64, above: an invalid block)
//   byte 2  the operation's byte argument (key selector, stage, time, sound)
//   byte 3  0x3F in its low six bits: the request's write fails
//   byte 4-5  big-endian v; read() returns v % 258 - 1, that is -1 to 256
//   the rest  the reply bytes; missing ones are delivered as zeros
//
// Besides crashes and sanitizer reports, each target checks the module's
// promises: an output buffer changes only on a true result (searchTag: only
// as its stage rule allows), what it receives equals the reply bytes
// delivered, nothing past them is read (the reader double poisons the rest),
// no log entry or console line holds four consecutive bytes of a sector key,
// and every log-file entry is its console line plus a newline.
#include <sanitizer/asan_interface.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "reader_double.h"
#include "rfid_internal.h"

namespace rfid::fuzz {
namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr int kDescriptors[8] = {kReaderFd, kReaderFd, kReaderFd, kReaderFd,
                                 kReaderFd, 0,         -1,        INT_MIN};
constexpr int kModuleTypes[8] = {MODULE_VOR, MODULE_VOR, NO_MODULE, MODULE_ELATEC,
                                 2,          99,         -2,        INT_MIN};
constexpr int kInvalidBlocks[16] = {-1,  64,  INT_MIN, INT_MAX, 255,   256,  -4,    1000,
                                    -64, 128, 65535,   -65536,  65536, 4096, -1000, 67};
constexpr unsigned char kCanary = 0xC5;
// Sector keys chosen so that no log text can contain them by accident:
// every byte is above the ASCII range and every row is different.
constexpr unsigned char kKeyBase[ROW] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};

struct Call {
  int fd = 0;
  int moduleType = 0;
  int block = 0;
  unsigned char byteArgument = 0;
  ReplyScript script;
  std::size_t delivered = 0;  // reply bytes the module can have received

  // Reply byte `index` as the module was given it, 0 past the reply.
  unsigned char reply(std::size_t index) const {
    return index < delivered && index < script.bytes.size() ? script.bytes[index] : 0;
  }
  bool replyMatches(const unsigned char* bytes, std::size_t from, std::size_t length) const {
    if (from + length > delivered) return false;
    for (std::size_t i = 0; i < length; ++i) {
      if (bytes[i] != reply(from + i)) return false;
    }
    return true;
  }
  bool exchanged() const { return script.count > 0 && !script.writeFails; }
};

void installKeys() {
  for (int sector = 0; sector < COLUMN; ++sector) {
    for (int i = 0; i < ROW; ++i) {
      sectorKeyA[sector][i] = static_cast<unsigned char>(kKeyBase[i] ^ (sector << (i % 3)));
    }
  }
}

Call decode(const std::uint8_t* data, std::size_t size) {
  Call call;
  std::uint8_t header[kHeaderSize] = {};
  std::memcpy(header, data, size < kHeaderSize ? size : kHeaderSize);
  call.fd = kDescriptors[(header[0] >> 4) & 7];
  call.moduleType = kModuleTypes[header[0] & 7];
  call.block = header[1] < 0xF0 ? header[1] % 64 : kInvalidBlocks[header[1] & 0x0F];
  call.byteArgument = header[2];
  call.script.writeFails = (header[3] & 0x3F) == 0x3F;
  call.script.count = ((header[4] << 8) | header[5]) % 258 - 1;
  if (size > kHeaderSize) call.script.bytes.assign(data + kHeaderSize, data + size);
  call.delivered = call.script.count > 0 ? static_cast<std::size_t>(call.script.count) : 0;
  return call;
}

// True when bytes[from..N) all still hold the canary.
template <std::size_t N>
bool untouched(const unsigned char (&bytes)[N], std::size_t from = 0) {
  for (std::size_t i = from; i < N; ++i) {
    if (bytes[i] != kCanary) return false;
  }
  return true;
}

bool holdsKeyBytes(const std::string& text) {
  constexpr std::size_t kWindow = 4;
  for (int sector = 0; sector < COLUMN; ++sector) {
    for (std::size_t start = 0; start + kWindow <= ROW; ++start) {
      if (text.find(std::string(reinterpret_cast<const char*>(sectorKeyA[sector]) + start,
                                kWindow)) != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

// The log: every file entry is its console line plus a newline, no entry
// holds key bytes, and an Error line appears exactly when a request could
// not be written. `keysMayShow` is for frames made up by the fuzzer, whose
// first bytes (all that an Error line shows) may be anything.
void checkLog(const Observed& seen, bool writeFailed, bool keysMayShow = false) {
  std::string fileLines;
  for (const std::string& entry : seen.fileEntries) {
    if (entry.empty() || entry.back() != '\n') violation("log entry without its newline");
    if (!keysMayShow && holdsKeyBytes(entry)) violation("sector key in the log file");
    fileLines.append(entry, 0, entry.size() - 1);
  }
  if (!keysMayShow && holdsKeyBytes(seen.console)) violation("sector key on the console");
  if (fileLines != seen.console) violation("log file and console differ");
  const bool errorLogged = seen.console.find("[Error] system command ") != std::string::npos;
  if (errorLogged != writeFailed) violation("Error line mismatch");
}

// Checks shared by every operation. `sends` says whether the operation was
// expected to reach the reader with these arguments.
void checkCommon(const Call& call, const Observed& seen, bool sends) {
  if (seen.otherDescriptorCalls != 0) violation("a descriptor other than reader and log used");
  checkLog(seen, sends && call.script.writeFails);
  if (!sends) {
    if (seen.flushes + seen.readerWrites + seen.reads != 0) violation("request sent");
  } else {
    if (seen.flushes != 1 || seen.readerWrites != 1) violation("not exactly one request");
    if (seen.reads != (call.script.writeFails ? 0 : 1)) violation("wrong number of reads");
    if (!call.script.writeFails && seen.lastReadSize != kReadSize) violation("read size");
  }
}

bool blockValid(const Call& call) {
  return call.block >= 0 && call.block < kBlockCount;
}

bool vorSends(const Call& call) {
  return call.moduleType != MODULE_ELATEC && call.fd > 0;
}

template <typename Operation>
const Observed& run(const Call& call, Operation operation) {
  beginOperation(call.script);
  operation();
  return endOperation();
}

void fuzzCardRequest(const Call& call) {
  unsigned char serial[kSerialRecordSize];
  std::memset(serial, kCanary, sizeof serial);
  bool found = false;
  const Observed& seen =
      run(call, [&] { found = getRequestCardSN(call.fd, call.moduleType, serial); });
  checkCommon(call, seen, vorSends(call));
  if (!found) {
    if (!untouched(serial)) violation("serial record changed on false");
    return;
  }
  if (!call.exchanged()) violation("true without a reply");
  const std::size_t length = serial[0];
  if (length != 4 && length != 7) violation("serial length neither 4 nor 7");
  if (!call.replyMatches(serial + 1, 2, length)) violation("serial not taken from the reply");
  if (!untouched(serial, length + 1)) violation("serial record written past the serial number");
}

void fuzzBlockRead(const Call& call) {
  unsigned char data[kBlockSize];
  std::memset(data, kCanary, sizeof data);
  bool read = false;
  const Observed& seen = run(call, [&] {
    read = getBlockRead(call.fd, call.moduleType, call.block, call.byteArgument, data);
  });
  checkCommon(call, seen, vorSends(call) && blockValid(call));
  if (!read) {
    if (!untouched(data)) violation("block data changed on false");
    return;
  }
  if (!call.exchanged() || !call.replyMatches(data, 2, kBlockSize)) {
    violation("block data not taken from the reply");
  }
}

void fuzzBlockWrite(const Call& call) {
  unsigned char data[kBlockSize];
  for (std::size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<unsigned char>(i * 17);
  bool written = false;
  const Observed& seen = run(call, [&] {
    written = setBlockWrite(call.fd, call.moduleType, call.block, call.byteArgument, data);
  });
  checkCommon(call, seen, vorSends(call) && blockValid(call));
  for (std::size_t i = 0; i < sizeof data; ++i) {
    if (data[i] != static_cast<unsigned char>(i * 17)) violation("write changed its input");
  }
  if (written && !call.exchanged()) violation("true without a reply");
}

void fuzzHalt(const Call& call) {
  const Observed& seen = run(call, [&] { sethaltCard(call.fd, call.moduleType); });
  checkCommon(call, seen, vorSends(call));
}

void fuzzBuzzer(const Call& call) {
  const Observed& seen = run(call, [&] { setBuzzer(call.fd, call.moduleType, call.byteArgument); });
  checkCommon(call, seen, vorSends(call));
}

void fuzzSearchTag(const Call& call) {
  unsigned char serial[kSerialRecordSize];
  std::memset(serial, kCanary, sizeof serial);
  const int stage = call.byteArgument % 5;  // 0 and 4 are no stage at all
  bool found = false;
  const Observed& seen =
      run(call, [&] { found = searchTag(call.fd, call.moduleType, serial, stage); });
  checkCommon(call, seen, call.fd > 0);
  if (!found) {
    if (!untouched(serial)) violation("serial record changed on false");
    return;
  }
  if (!call.exchanged() || call.reply(3) != 1) violation("true without a card reported");
  if (untouched(serial)) return;
  const std::size_t length = serial[0];
  if (!(length == 7 || (length == 4 && stage == SEARCH))) violation("record against stage rule");
  if (call.reply(6) != length || !call.replyMatches(serial + 1, 7, length)) {
    violation("serial not taken from the reply");
  }
  if (!untouched(serial, length + 1)) violation("serial record written past the serial number");
}

void fuzzLogin(const Call& call) {
  bool accepted = false;
  const Observed& seen = run(call, [&] {
    accepted = MifareClassic_Login(call.fd, call.moduleType, call.block, call.byteArgument);
  });
  checkCommon(call, seen, call.fd > 0 && blockValid(call));
  if (accepted && (!call.exchanged() || call.reply(3) != 1)) violation("login true unconfirmed");
}

void fuzzReadBlock(const Call& call) {
  unsigned char data[kBlockSize];
  std::memset(data, kCanary, sizeof data);
  bool read = false;
  const Observed& seen = run(
      call, [&] { read = MifareClassic_ReadBlock(call.fd, call.moduleType, call.block, data); });
  checkCommon(call, seen, call.fd > 0 && blockValid(call));
  if (!read) {
    if (!untouched(data)) violation("block data changed on false");
    return;
  }
  if (!call.exchanged() || call.reply(3) != 1 || !call.replyMatches(data, 4, kBlockSize)) {
    violation("block data not taken from the reply");
  }
}

void fuzzWriteBlock(const Call& call) {
  unsigned char data[kBlockSize];
  std::memset(data, kCanary, sizeof data);
  bool written = false;
  const Observed& seen = run(call, [&] {
    written = MifareClassic_WriteBlock(call.fd, call.moduleType, call.block, data);
  });
  checkCommon(call, seen, call.fd > 0 && blockValid(call));
  if (!written) {
    if (!untouched(data)) violation("block data changed on false");
    return;
  }
  if (!call.exchanged() || call.reply(3) != 1) violation("write true unconfirmed");
  if (!untouched(data) && !call.replyMatches(data, 4, kBlockSize)) {
    violation("echoed data not taken from the reply");
  }
}

void fuzzBeep(const Call& call) {
  bool sent = false;
  const Observed& seen =
      run(call, [&] { sent = SetBeep(call.fd, call.moduleType, call.byteArgument); });
  checkCommon(call, seen, call.fd > 0);
  if (sent != (call.fd > 0)) violation("beep result");
  if (!seen.console.empty() && !call.script.writeFails) violation("beep logged a line");
}

// The exchange on its own, with a frame of any length (-2 to 300 bytes,
// taken from byte 2 and the block byte) and bytes, and the checksum over it.
void fuzzExchange(const Call& call) {
  const int length = (call.byteArgument | ((call.block & 1) << 8)) % 303 - 2;
  std::vector<unsigned char> frame(length > 0 ? static_cast<std::size_t>(length) : 1, 0);
  const std::vector<unsigned char>& source = call.script.bytes;
  for (std::size_t i = 0; i < frame.size() && i < source.size(); ++i) frame[i] = source[i];
  unsigned char expectedSum = 0;
  for (int i = 0; i + 1 < length; ++i) expectedSum ^= frame[static_cast<std::size_t>(i)];
  if (static_cast<unsigned char>(ClaCheckSum(frame.data(), length)) != expectedSum) {
    violation("checksum");
  }

  // Descriptor 0 may well be a host's serial port, so the exchange does not
  // refuse it; here it stands for the reader rather than the fuzzer's stdin.
  const int uart = call.fd == 0 ? kReaderFd : call.fd;
  unsigned char rx[kReadSize];
  std::memset(rx, kCanary, sizeof rx);
  int result = 0;
  const Observed& seen =
      run(call, [&] { result = system_command(uart, frame.data(), length, rx); });
  ASAN_UNPOISON_MEMORY_REGION(rx, sizeof rx);  // the harness's own buffer
  // An empty frame is still an exchange; only a negative length is refused.
  const bool sends = length >= 0;
  // A negative descriptor reaches the system, whose write fails (EBADF).
  const bool writeFails = call.script.writeFails || uart < 0;
  checkLog(seen, sends && writeFails, true);
  if (uart < 0) {
    if (seen.otherDescriptorCalls != (sends ? 2 : 0)) violation("flush and write expected");
  } else {
    if (seen.otherDescriptorCalls != 0) violation("a descriptor other than the reader used");
    if (seen.flushes != (sends ? 1 : 0) || seen.readerWrites != (sends ? 1 : 0)) {
      violation("not exactly one request");
    }
    if (seen.reads != (sends && !writeFails ? 1 : 0)) violation("wrong number of reads");
    if (sends &&
        seen.request != std::vector<unsigned char>(frame.begin(), frame.begin() + length)) {
      violation("frame not written as given");
    }
  }
  const int expected = !sends || writeFails ? 0 : call.script.count;
  if (result != expected) violation("exchange result");
  const std::size_t filled = expected > 0 ? call.delivered : 0;
  if (!call.replyMatches(rx, 0, filled)) violation("reply bytes");
  if (!untouched(rx, filled)) violation("receive area written past the reply");
  if (sends && writeFails) {
    // The Error line shows the frame up to its first zero byte, at most 4.
    const std::string prefix = "system command ";
    const std::size_t at = seen.console.find(prefix) + prefix.size();
    const std::size_t end = seen.console.find(" response fail.", at);
    if (end == std::string::npos || end - at > kLoggedFrameBytes) violation("Error line frame");
    for (std::size_t i = at; i < end; ++i) {
      if (static_cast<unsigned char>(seen.console[i]) != frame[i - at] || frame[i - at] == 0) {
        violation("Error line frame bytes");
      }
    }
  }
}

struct Target {
  const char* name;
  void (*fuzz)(const Call&);
};
constexpr Target kTargets[] = {
    {"card_request", fuzzCardRequest},
    {"block_read", fuzzBlockRead},
    {"block_write", fuzzBlockWrite},
    {"halt", fuzzHalt},
    {"buzzer", fuzzBuzzer},
    {"search_tag", fuzzSearchTag},
    {"login", fuzzLogin},
    {"read_block", fuzzReadBlock},
    {"write_block", fuzzWriteBlock},
    {"beep", fuzzBeep},
    {"exchange", fuzzExchange},
};

void (*selected)(const Call&) = nullptr;

}  // namespace
}  // namespace rfid::fuzz

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  using namespace rfid::fuzz;
  installKeys();
  for (const Target& target : kTargets) {
    if (std::strcmp(target.name, RFID_FUZZ_TARGET) == 0) selected = target.fuzz;
  }
  if (selected == nullptr) violation("unknown fuzz target " RFID_FUZZ_TARGET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rfid::fuzz::selected(rfid::fuzz::decode(data, size));
  return 0;
}
