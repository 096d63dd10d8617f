// Private definitions shared by the module's sources and its own tests,
// fuzz targets and benchmarks (through the rfid_testing target). Hosts and
// every other program include Module_RFID.h and Module_RFID_ext.h only.
#ifndef RFID_INTERNAL_H
#define RFID_INTERNAL_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Everything declared in the public header is the module's link interface;
// the library is built with hidden visibility, so only these names leave it.
#pragma GCC visibility push(default)
#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#pragma GCC visibility pop

// Module types, the value every operation takes as `moduleType`.
constexpr int NO_MODULE = RFID_MODULE_NONE;
constexpr int MODULE_VOR = RFID_MODULE_VOR;
constexpr int MODULE_ELATEC = RFID_MODULE_ELATEC;

// Host stages, the values of searchTag's `status`.
constexpr int SEARCH = RFID_STAGE_SEARCH;
constexpr int READ = RFID_STAGE_READ;
constexpr int WRITE = RFID_STAGE_WRITE;

// Key table: COLUMN rows (one per sector) of ROW key bytes.
constexpr int COLUMN = RFID_SECTOR_COUNT;
constexpr int ROW = RFID_KEY_SIZE;
static_assert(sizeof(sectorKeyA) == static_cast<std::size_t>(COLUMN) * ROW, "key table shape");

// Lets the compiler check every log call's arguments against its format.
// NOLINTNEXTLINE(readability-redundant-declaration): adds the format check
int StoreLogMessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

namespace rfid {

constexpr int kBlocksPerSector = RFID_BLOCKS_PER_SECTOR;
constexpr int kBlockCount = RFID_BLOCK_COUNT;  // blocks 0 to 63
constexpr std::size_t kBlockSize = RFID_BLOCK_SIZE;
constexpr std::size_t kSerialRecordSize = RFID_SERIAL_RECORD_SIZE;  // length byte + up to 7 bytes

// Owns a descriptor the module opens for one call (the log's append, the
// quiet wait's epoll). close() is not retried: on Linux the descriptor is
// gone even when close reports EINTR.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};
constexpr std::size_t kReceiveSize = 256;     // one exchange reads at most this
constexpr std::size_t kMessageSize = 4096;    // one log message, NUL included
constexpr unsigned kExchangeWaitUs = 500000;  // fixed wait between write and read
constexpr std::size_t kLoggedFrameBytes = 4;  // frame bytes a failed write may log

// The directory of the monthly log files: RFID_LOG_DIR from the build, or
// a copy of what a host gave rfidSetLogDirectory(). The log reads it under
// its lock; tests point it elsewhere directly.
extern const char* logDirectory;
constexpr std::size_t kLogPathSize = 256;  // directory, file name and zero
constexpr std::size_t kLogFileNameRoom = 32;
// The longest directory that "/[YYYY.MM]SystemLog" and the zero still fit behind.
constexpr std::size_t kMaxLogDirectoryLength = kLogPathSize - sizeof "/[YYYY.MM]SystemLog";

// The wait of every exchange. It sleeps kExchangeWaitUs; tests swap in a
// wait that returns as soon as their scripted reader has answered, so the
// suite does not spend half a second per exchange. A wait swapped in here
// replaces the quiet wait too.
using ExchangeWait = void (*)();
extern ExchangeWait exchangeWait;
void sleepExchangeWait();

// The quiet wait (RFID_REPLY_WAIT_QUIET): its default and longest quiet time.
constexpr int kDefaultQuietMs = 20;
constexpr int kMaxQuietMs = 100;
// The quiet wait's upper bound, kExchangeWaitUs; tests shorten it so that
// an exchange without a reply does not cost them half a second.
extern unsigned quietWaitBoundUs;

// Sets one of the two seams above for its lifetime, then puts back the value
// it found rather than the default, so that guards nest. The module never
// uses it; tests, the simulator's fast exchange and the benchmarks do.
template <typename T, T* Seam>
class ScopedSeam {
 public:
  explicit ScopedSeam(T value) : saved_(*Seam) { *Seam = value; }
  ~ScopedSeam() { *Seam = saved_; }
  ScopedSeam(const ScopedSeam&) = delete;
  ScopedSeam& operator=(const ScopedSeam&) = delete;

 private:
  T saved_;
};
using ScopedExchangeWait = ScopedSeam<ExchangeWait, &exchangeWait>;
using ScopedLogDirectory = ScopedSeam<const char*, &logDirectory>;
using ScopedQuietWaitBound = ScopedSeam<unsigned, &quietWaitBoundUs>;

// The low byte of a command code or block number, as frames carry them.
constexpr unsigned char lowByte(std::uint32_t value) {
  return static_cast<unsigned char>(value);
}
constexpr unsigned char lowByte(int value) {
  return lowByte(static_cast<std::uint32_t>(value));
}

// The sector a block belongs to, or -1 for a block outside 0 to 63.
constexpr int sectorOfBlock(int block) {
  return (block >= 0 && block < kBlockCount) ? block / kBlocksPerSector : -1;
}

// A reply as the exchange delivered it. Bytes at or past `count` were never
// received and read as zero, exactly as in the zeroed receive area, but are
// never taken from the buffer.
struct Reply {
  const unsigned char* bytes;
  int count;

  constexpr unsigned char at(int index) const {
    return (index >= 0 && index < count) ? bytes[index] : 0;
  }
  // True when the reply holds every byte up to and including `lastIndex`.
  constexpr bool covers(int lastIndex) const { return lastIndex < count; }
};

}  // namespace rfid

// Source base name for the log prefix, resolved at build time.
#ifdef __FILE_NAME__
#define RFID_SOURCE_NAME __FILE_NAME__
#else
#define RFID_SOURCE_NAME ::rfid::baseName(__FILE__)
namespace rfid {
constexpr const char* baseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}
}  // namespace rfid
#endif

// Level macros: the prefix and the caller's format are joined into one
// literal, so each call site's text is fixed at build time.
#define RFID_LOG_PREFIX(level) "[%s:%d][%s][" level "] "
#define RFID_LOG_AT(level, format, ...)                                                \
  StoreLogMessage(RFID_LOG_PREFIX(level) format, RFID_SOURCE_NAME, __LINE__, __func__, \
                  ##__VA_ARGS__)
#define DEBUG_INFO_1(format, ...) RFID_LOG_AT("Info", format, ##__VA_ARGS__)
#define DEBUG_WARN_1(format, ...) RFID_LOG_AT("Warn", format, ##__VA_ARGS__)
#define DEBUG_ERROR_1(format, ...) RFID_LOG_AT("Error", format, ##__VA_ARGS__)

namespace rfid {

// Where a line comes from, as its prefix names it: the source file, the
// line and the operation. The shared steps below log for the operation that
// runs them, under its name.
struct LogSite {
  const char* source;
  int line;
  const char* function;
};

}  // namespace rfid

#define RFID_LOG_SITE (::rfid::LogSite{RFID_SOURCE_NAME, __LINE__, __func__})
// A line with the prefix of `site`, an operation's RFID_LOG_SITE.
#define RFID_LOG_FROM(site, level, format, ...)                                               \
  StoreLogMessage(RFID_LOG_PREFIX(level) format, (site).source, (site).line, (site).function, \
                  ##__VA_ARGS__)

// ---- Exchange helper shared by both protocols ------------------------------

namespace rfid {

using ReceiveArea = unsigned char[kReceiveSize];

// Zeroes `rx`, runs one exchange of `length` bytes of `frame` and returns
// what arrived. A count below 1 means no reply.
Reply exchange(int fd, unsigned char* frame, std::size_t length, ReceiveArea& rx);

// Records what system_command() got (bytes, 0, or a negative errno) for
// rfidLastExchange().
void noteExchange(int result);

// Under the reply check, true, with a Warn line, for a reply that is not
// one whole frame (`wholeFrame` from its protocol's frame judge below); the
// operation then fails as for no reply. Always false without the check.
bool refusesReply(Reply reply, bool wholeFrame);

// What a reply says, as the operations log and return it.
enum class Verdict {
  kSuccess,     // the reader carried the command out
  kRefused,     // the reader's explicit failure answer
  kRetry,       // an answer the operation does not expect
  kIncomplete,  // success announced, but the reply ends before its data
  kSilent,      // no answer worth a log line
};

// ---- The steps every operation shares --------------------------------------

// Sends `length` bytes of `frame` to the reader on `fd` and judges its reply
// with `judge`. Nothing is sent without a reader (`fd` 0 or below); a reply
// that did not come, or that the reply check refuses (by IsWholeFrame, the
// frame judge of the request's protocol), is not judged: kSilent.
// `replyCount` is what came, 0 when nothing was sent; the reply stays in
// `rx` for the operation to take its data from.
template <bool (*IsWholeFrame)(Reply), typename Judge>
Verdict judgeExchange(int fd, unsigned char* frame, std::size_t length, ReceiveArea& rx,
                      int& replyCount, Judge judge) {
  replyCount = 0;
  if (fd <= 0) return Verdict::kSilent;
  const Reply reply = exchange(fd, frame, length, rx);
  replyCount = reply.count;
  if (reply.count < 1 || refusesReply(reply, IsWholeFrame(reply))) return Verdict::kSilent;
  return judge(reply);
}

// One line an operation may log: its level and text (a null text: no line).
struct LogLine {
  const char* level;
  const char* text;
};
constexpr LogLine info(const char* text) {
  return LogLine{"Info", text};
}

// The lines an operation logs for the reader's answers. Every operation
// logs kIncomplete alike, with the count of reply bytes, and none kSilent.
struct VerdictLog {
  LogLine success;
  LogLine refused;
  LogLine retry;
};

// Logs the line of `verdict` at `site`; true for kSuccess.
bool logVerdict(LogSite site, Verdict verdict, const VerdictLog& lines, int replyCount);

// judgeExchange() and the line of its verdict; true for kSuccess.
template <bool (*IsWholeFrame)(Reply), typename Judge>
bool operate(LogSite site, int fd, unsigned char* frame, std::size_t length, ReceiveArea& rx,
             const VerdictLog& lines, Judge judge) {
  int replyCount = 0;
  const Verdict verdict = judgeExchange<IsWholeFrame>(fd, frame, length, rx, replyCount, judge);
  return logVerdict(site, verdict, lines, replyCount);
}

// True for a block of the card (0 to 63), the blocks the key table has a
// row for; any other is logged as out of range at `site`.
bool isCardBlock(LogSite site, int block);

// ---- Checksummed protocol (MODULE_VOR) --------------------------------------

namespace vor {

constexpr unsigned char kMaxBuzzerValue = 10;
constexpr unsigned char kFallbackBuzzerValue = 5;

// Frame builders: pure, the checksum in the last byte. `key` is one row of
// the key table (ROW bytes), `data` one block (kBlockSize bytes). A frame
// is [count of the bytes after it][command][parameters][XOR of the bytes
// before it]: its parameters and these three bytes.
constexpr std::size_t kFramingSize = 3;

// One parameter: REQA or WUPA.
constexpr std::size_t kCardRequestFrameSize = kFramingSize + 1;
void buildCardRequestFrame(unsigned char (&frame)[kCardRequestFrameSize], std::uint32_t command,
                           unsigned char reqa);

// The key selector, the block and the key of its sector.
constexpr std::size_t kBlockReadFrameSize = kFramingSize + 2 + ROW;
void buildBlockReadFrame(unsigned char (&frame)[kBlockReadFrameSize], std::uint32_t command,
                         unsigned char keyId, int block, const unsigned char* key);

// The parameters of the read, then the block's data.
constexpr std::size_t kBlockWriteFrameSize = kBlockReadFrameSize + kBlockSize;
void buildBlockWriteFrame(unsigned char (&frame)[kBlockWriteFrameSize], std::uint32_t command,
                          unsigned char keyId, int block, const unsigned char* key,
                          const unsigned char* data);

// No parameter.
constexpr std::size_t kHaltFrameSize = kFramingSize;
void buildHaltFrame(unsigned char (&frame)[kHaltFrameSize], std::uint32_t command);

// One parameter: the buzzer value.
constexpr std::size_t kBuzzerFrameSize = kFramingSize + 1;
void buildBuzzerFrame(unsigned char (&frame)[kBuzzerFrameSize], std::uint32_t command,
                      unsigned char value);

// Reply judges: pure. kSuccess of the card request comes with the serial
// length (4 or 7) in `serialLength`.
Verdict judgeCardRequest(Reply reply, std::uint32_t command, int& serialLength);
Verdict judgeBlockRead(Reply reply, std::uint32_t command);
Verdict judgeBlockWrite(Reply reply, std::uint32_t command);
Verdict judgeHalt(Reply reply);
Verdict judgeBuzzer(Reply reply);
// True when the reply is exactly as long as its length byte says and its
// last byte is the XOR of the bytes before it.
bool isWholeFrame(Reply reply);

// The card request of getRequestCardSN without its log lines: its verdict,
// with the serial length and the record written on kSuccess, and the count
// of reply bytes (0 when nothing was sent or nothing came back).
Verdict requestCard(int fd, unsigned char* serialNumber, int& serialLength, int& replyCount);

}  // namespace vor

// ---- Length-prefixed protocol (MODULE_ELATEC) -------------------------------

namespace elatec {

// A request is [count of the bytes after these two, 16-bit little
// endian][class][function][parameters]: its parameters and this header.
constexpr std::size_t kRequestHeaderSize = 4;

// One parameter: the most serial number bytes to report.
constexpr std::size_t kSearchTagFrameSize = kRequestHeaderSize + 1;
void buildSearchTagFrame(unsigned char (&frame)[kSearchTagFrameSize]);

// The key, the key selector and the sector of the block.
constexpr std::size_t kLoginFrameSize = kRequestHeaderSize + ROW + 2;
void buildLoginFrame(unsigned char (&frame)[kLoginFrameSize], int block, const unsigned char* key,
                     unsigned char keyId);

// One parameter: the block.
constexpr std::size_t kReadFrameSize = kRequestHeaderSize + 1;
void buildReadFrame(unsigned char (&frame)[kReadFrameSize], int block);

// The block, then its data.
constexpr std::size_t kWriteFrameSize = kRequestHeaderSize + 1 + kBlockSize;
void buildWriteFrame(unsigned char (&frame)[kWriteFrameSize], int block, const unsigned char* data);

// The volume, then the tone's frequency, on time and off time, 16 bits each.
constexpr std::size_t kBeepFrameSize = kRequestHeaderSize + 1 + std::size_t{3} * 2;
void buildBeepFrame(unsigned char (&frame)[kBeepFrameSize], unsigned char sound);

// kSuccess of the tag search comes with the serial length the reply
// announced and whether the record is to be written in this stage.
Verdict judgeSearchTag(Reply reply, int stage, int& serialLength, bool& copySerial);
Verdict judgeLogin(Reply reply);
Verdict judgeReadBlock(Reply reply);
// kSuccess of a write comes with whether the reply echoed the block data.
Verdict judgeWriteBlock(Reply reply, bool& echoed);
// True when the reply is exactly as long as its 16-bit length prefix says.
bool isWholeFrame(Reply reply);

// ISO 14443-4 cards: GetSAK and the exchange with the card (TDX). The TDX
// request is [count][12 03][TX length][TX bytes][largest RX length], its
// reply [count][status][result][RX length][RX bytes].
constexpr std::size_t kGetSakFrameSize = kRequestHeaderSize;  // no parameter
constexpr int kMaxTransceiveTx = RFID_ELATEC_MAX_TX;
constexpr int kMaxTransceiveRx = RFID_ELATEC_MAX_RX;
constexpr std::size_t kTransceiveHeaderSize = kRequestHeaderSize + 1;  // and the TX length
constexpr std::size_t kTransceiveFrameSize = kTransceiveHeaderSize + kMaxTransceiveTx + 1;
constexpr int kTransceiveDataAt = 5;  // the card's first byte in the reply
static_assert(kTransceiveFrameSize <= kReceiveSize, "a TDX request fits the module's frames");
static_assert(kTransceiveDataAt + kMaxTransceiveRx <= static_cast<int>(kReceiveSize),
              "a TDX reply fits one exchange's read");

void buildGetSakFrame(unsigned char (&frame)[kGetSakFrameSize]);
// Writes the TDX request for `txLength` (1 to kMaxTransceiveTx) bytes of
// `tx`, asking for at most `rxLimit` (1 to kMaxTransceiveRx) reply bytes;
// returns the frame's length.
std::size_t buildTransceiveFrame(unsigned char (&frame)[kTransceiveFrameSize],
                                 const unsigned char* tx, int txLength, int rxLimit);
// kSuccess of GetSAK comes with the SAK in the reply's byte 4.
Verdict judgeGetSak(Reply reply);
// kSuccess of TDX comes with the count of card bytes, which all arrived and
// fit in `rxCapacity`; kIncomplete for a reply that claims more.
Verdict judgeTransceive(Reply reply, int rxCapacity, int& rxLength);

// The tag search of searchTag in `stage` without its log lines; as
// vor::requestCard. The record is written only where judgeSearchTag says so.
Verdict searchForTag(int fd, unsigned char* serialNumber, int stage, int& serialLength,
                     int& replyCount);

}  // namespace elatec
}  // namespace rfid

#endif  // RFID_INTERNAL_H
