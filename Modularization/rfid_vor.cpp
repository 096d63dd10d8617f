// Checksummed protocol of MODULE_VOR readers.
//
// Request: [count of bytes that follow][command][parameters...][XOR of all
// bytes before it]. Reply: [length][reply code][data...]; the reply code
// equals the command code when the reader carried the command out.
#include <cstring>

#include "rfid_internal.h"

uint32_t RFID_CMD_REQUEST_SN = 0x20;
uint32_t RFID_CMD_BLOCK_READ = 0x21;
uint32_t RFID_CMD_BLOCK_WRITE = 0x22;
uint32_t RFID_CMD_HALT_14443A = 0x28;
uint32_t RFID_CMD_BUZZER_SET = 0x14;
unsigned char REQA = 1;
unsigned char WUPA = 0;
uint32_t STATUS = 0;

namespace {

using rfid::Reply;
using rfid::Verdict;

// Reply byte positions.
constexpr int kReplyLength = 0;
constexpr int kReplyCode = 1;
constexpr int kReplyData = 2;

// Card request reply lengths: code + 4 serial bytes + trailer, code + 7 + trailer.
constexpr unsigned char kFourByteSerialReplyLength = 9;
constexpr unsigned char kSevenByteSerialReplyLength = 12;

// Failure reply codes, fixed whatever the command-code variables hold.
constexpr unsigned char kRequestFailed = 0xDF;
constexpr unsigned char kBlockReadFailed = 0xDE;
constexpr unsigned char kBlockWriteFailed = 0xDD;
constexpr unsigned char kHaltPassed = 0x28;
constexpr unsigned char kHaltFailed = 0xD7;
constexpr unsigned char kBuzzerDone = 0x14;
constexpr unsigned char kBuzzerFailed = 0xEC;

// Frame layout: parameters start at byte 2, the block frames put the key
// selector before the block number, then the key, then the data.
constexpr std::size_t kKeySelectorAt = 2;
constexpr std::size_t kBlockAt = 3;
constexpr std::size_t kKeyAt = 4;
constexpr std::size_t kDataAt = kKeyAt + ROW;
static_assert(kDataAt + 1 == rfid::vor::kBlockReadFrameSize &&
                  kDataAt + rfid::kBlockSize + 1 == rfid::vor::kBlockWriteFrameSize,
              "the block frames end with the key or the data, then the checksum");

// Fills byte 0 with the count of the bytes after it and the last byte with
// the checksum.
template <std::size_t N>
void seal(unsigned char (&frame)[N]) {
  frame[0] = static_cast<unsigned char>(N - 1);
  frame[N - 1] = static_cast<unsigned char>(ClaCheckSum(frame, static_cast<int>(N)));
}

Verdict judgeCode(Reply reply, std::uint32_t success, unsigned char failure) {
  const unsigned char code = reply.at(kReplyCode);
  if (code == success) return Verdict::kSuccess;
  if (code == failure) return Verdict::kRefused;
  return Verdict::kSilent;
}

}  // namespace

namespace rfid::vor {

void buildCardRequestFrame(unsigned char (&frame)[kCardRequestFrameSize], std::uint32_t command,
                           unsigned char reqa) {
  frame[1] = lowByte(command);
  frame[2] = reqa;
  seal(frame);
}

void buildBlockReadFrame(unsigned char (&frame)[kBlockReadFrameSize], std::uint32_t command,
                         unsigned char keyId, int block, const unsigned char* key) {
  frame[1] = lowByte(command);
  frame[kKeySelectorAt] = keyId;
  frame[kBlockAt] = lowByte(block);
  std::memcpy(frame + kKeyAt, key, ROW);
  seal(frame);
}

void buildBlockWriteFrame(unsigned char (&frame)[kBlockWriteFrameSize], std::uint32_t command,
                          unsigned char keyId, int block, const unsigned char* key,
                          const unsigned char* data) {
  frame[1] = lowByte(command);
  frame[kKeySelectorAt] = keyId;
  frame[kBlockAt] = lowByte(block);
  std::memcpy(frame + kKeyAt, key, ROW);
  std::memcpy(frame + kDataAt, data, kBlockSize);
  seal(frame);
}

void buildHaltFrame(unsigned char (&frame)[kHaltFrameSize], std::uint32_t command) {
  frame[1] = lowByte(command);
  seal(frame);
}

void buildBuzzerFrame(unsigned char (&frame)[kBuzzerFrameSize], std::uint32_t command,
                      unsigned char value) {
  frame[1] = lowByte(command);
  frame[2] = value;
  seal(frame);
}

Verdict judgeCardRequest(Reply reply, std::uint32_t command, int& serialLength) {
  const unsigned char code = reply.at(kReplyCode);
  if (code != command) return code == kRequestFailed ? Verdict::kRefused : Verdict::kSilent;
  switch (reply.at(kReplyLength)) {
    case kFourByteSerialReplyLength:
      serialLength = 4;
      break;
    case kSevenByteSerialReplyLength:
      serialLength = 7;
      break;
    default:
      return Verdict::kRetry;
  }
  // A serial number padded with zeros could match another card's.
  return reply.covers(kReplyData + serialLength - 1) ? Verdict::kSuccess : Verdict::kIncomplete;
}

Verdict judgeBlockRead(Reply reply, std::uint32_t command) {
  const Verdict verdict = judgeCode(reply, command, kBlockReadFailed);
  if (verdict == Verdict::kSuccess && !reply.covers(kReplyData + kBlockSize - 1)) {
    return Verdict::kIncomplete;
  }
  return verdict;
}

Verdict judgeBlockWrite(Reply reply, std::uint32_t command) {
  return judgeCode(reply, command, kBlockWriteFailed);
}

Verdict judgeHalt(Reply reply) {
  return judgeCode(reply, kHaltPassed, kHaltFailed);
}

Verdict judgeBuzzer(Reply reply) {
  return judgeCode(reply, kBuzzerDone, kBuzzerFailed);
}

bool isWholeFrame(Reply reply) {
  if (reply.count < 2 || reply.count != reply.at(kReplyLength) + 1) return false;
  unsigned char sum = 0;
  for (int i = 0; i < reply.count - 1; ++i) sum ^= reply.at(i);
  return sum == reply.at(reply.count - 1);
}

}  // namespace rfid::vor

using namespace rfid;  // NOLINT(google-build-using-namespace): the operations below

extern "C" char ClaCheckSum(unsigned char* buffer, int len) {
  unsigned char sum = 0;
  // Checked before `len - 1` is formed, which overflows for INT_MIN.
  if (buffer == nullptr || len <= 1) return 0;
  for (int i = 0; i < len - 1; ++i) sum ^= buffer[i];
  return static_cast<char>(sum);
}

namespace rfid::vor {

Verdict requestCard(int fd, unsigned char* serialNumber, int& serialLength, int& replyCount) {
  unsigned char frame[kCardRequestFrameSize];
  buildCardRequestFrame(frame, RFID_CMD_REQUEST_SN, REQA);
  ReceiveArea rx;
  const Verdict verdict = judgeExchange<isWholeFrame>(
      fd, frame, sizeof frame, rx, replyCount,
      [&](Reply reply) { return judgeCardRequest(reply, RFID_CMD_REQUEST_SN, serialLength); });
  if (verdict == Verdict::kSuccess) {
    serialNumber[0] = static_cast<unsigned char>(serialLength);
    std::memcpy(serialNumber + 1, rx + kReplyData, static_cast<std::size_t>(serialLength));
  }
  return verdict;
}

}  // namespace rfid::vor

extern "C" bool getRequestCardSN(int Fd, int moduleType, unsigned char* serialNumber) {
  static constexpr VerdictLog kLines = {{}, {}, info("Please try again.\n")};
  if (moduleType == MODULE_ELATEC || serialNumber == nullptr) return false;

  int serialLength = 0;
  int replyCount = 0;
  const Verdict verdict = vor::requestCard(Fd, serialNumber, serialLength, replyCount);
  if (!logVerdict(RFID_LOG_SITE, verdict, kLines, replyCount)) return false;
  if (serialLength == 4) {
    DEBUG_INFO_1("Card type : MIFARE classic.\n");
  } else {
    DEBUG_INFO_1("Card type : Plus, UltraLight or DESFire.\n");
  }
  return true;
}

extern "C" bool getBlockRead(int Fd, int moduleType, int block, unsigned char keyId,
                             unsigned char* data) {
  static constexpr VerdictLog kLines = {info("Read block ok.\n"), info("Read block failed.\n"), {}};
  if (moduleType == MODULE_ELATEC || data == nullptr || !isCardBlock(RFID_LOG_SITE, block)) {
    return false;
  }

  unsigned char frame[vor::kBlockReadFrameSize];
  vor::buildBlockReadFrame(frame, RFID_CMD_BLOCK_READ, keyId, block,
                           sectorKeyA[sectorOfBlock(block)]);
  ReceiveArea rx;
  if (!operate<vor::isWholeFrame>(
          RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
          [](Reply reply) { return vor::judgeBlockRead(reply, RFID_CMD_BLOCK_READ); })) {
    return false;
  }
  std::memcpy(data, rx + kReplyData, kBlockSize);
  return true;
}

extern "C" bool setBlockWrite(int Fd, int moduleType, int block, unsigned char keyid,
                              unsigned char* data) {
  static constexpr VerdictLog kLines = {
      info("Write block ok.\n"), info("Write block failed.\n"), {}};
  if (moduleType == MODULE_ELATEC || data == nullptr || !isCardBlock(RFID_LOG_SITE, block)) {
    return false;
  }

  unsigned char frame[vor::kBlockWriteFrameSize];
  vor::buildBlockWriteFrame(frame, RFID_CMD_BLOCK_WRITE, keyid, block,
                            sectorKeyA[sectorOfBlock(block)], data);
  ReceiveArea rx;
  return operate<vor::isWholeFrame>(
      RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
      [](Reply reply) { return vor::judgeBlockWrite(reply, RFID_CMD_BLOCK_WRITE); });
}

extern "C" void sethaltCard(int Fd, int moduleType) {
  static constexpr VerdictLog kLines = {info("Halt card pass.\n"), info("Halt card fail.\n"), {}};
  if (moduleType == MODULE_ELATEC) return;

  unsigned char frame[vor::kHaltFrameSize];
  vor::buildHaltFrame(frame, RFID_CMD_HALT_14443A);
  ReceiveArea rx;
  (void)operate<vor::isWholeFrame>(RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
                                   [](Reply reply) { return vor::judgeHalt(reply); });
}

extern "C" void setBuzzer(int Fd, int moduleType, unsigned char time) {
  static constexpr VerdictLog kLines = {info("Set Buzzer ok.\n"), info("Set Buzzer fail.\n"), {}};
  if (moduleType == MODULE_ELATEC) return;

  unsigned char value = time;
  if (time > vor::kMaxBuzzerValue) {
    value = vor::kFallbackBuzzerValue;
    DEBUG_WARN_1("Value is out of range.\n");
  }
  unsigned char frame[vor::kBuzzerFrameSize];
  vor::buildBuzzerFrame(frame, RFID_CMD_BUZZER_SET, value);
  ReceiveArea rx;
  if (operate<vor::isWholeFrame>(RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
                                 [](Reply reply) { return vor::judgeBuzzer(reply); })) {
    DEBUG_INFO_1("Set Buzzer %d ms.\n", value);
  }
}
