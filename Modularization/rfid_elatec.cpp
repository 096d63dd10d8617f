// Length-prefixed protocol of MODULE_ELATEC readers (binary mode, no CRC).
//
// Request: [count of bytes after the two length bytes, 16-bit little
// endian][command class][command number][parameters...].
// Reply: [count, 16-bit little endian][status][result][data...]; the module
// judges the result byte only, and takes data from byte 4 on.
#include <cstring>

#include "rfid_internal.h"

namespace {

using rfid::Reply;
using rfid::Verdict;

// Reply byte positions: the status and the result byte follow the length
// prefix, the data follows them. The tag search's data is the tag type (two
// bytes), the serial number's length, then the serial number.
constexpr int kLengthPrefixSize = 2;
constexpr int kResultByte = kLengthPrefixSize + 1;
constexpr int kDataAt = kResultByte + 1;
constexpr int kSerialLengthAt = kDataAt + 2;
constexpr int kSerialAt = kSerialLengthAt + 1;

constexpr unsigned char kResultFalse = 0;
constexpr unsigned char kResultTrue = 1;

// Fixed requests and fixed parts of requests, as sent on the wire.
constexpr std::size_t kParametersAt = rfid::elatec::kRequestHeaderSize;
constexpr unsigned char kSearchTagFrame[] = {0x03, 0x00, 0x05, 0x00,
                                             0x10};  // class 5 "search tag", max ID bytes 0x10
constexpr unsigned char kLoginHeader[kParametersAt] = {0x0A, 0x00, 0x0B, 0x00};
constexpr unsigned char kReadHeader[kParametersAt] = {0x03, 0x00, 0x0B, 0x01};
constexpr unsigned char kWriteHeader[kParametersAt] = {0x13, 0x00, 0x0B, 0x02};
// Beep: volume byte at 4, then 2400 Hz, 500 ms on, 500 ms off (little endian).
constexpr unsigned char kBeepTemplate[] = {0x09, 0x00, 0x04, 0x07, 0x00, 0x60,
                                           0x09, 0xF4, 0x01, 0xF4, 0x01};
constexpr std::size_t kBeepSoundAt = kParametersAt;
// ISO 14443-4: GetSAK (class 0x12, function 5) and TDX (function 3).
constexpr unsigned char kGetSakFrame[] = {0x02, 0x00, 0x12, 0x05};
static_assert(sizeof kSearchTagFrame == rfid::elatec::kSearchTagFrameSize &&
                  sizeof kBeepTemplate == rfid::elatec::kBeepFrameSize &&
                  sizeof kGetSakFrame == rfid::elatec::kGetSakFrameSize,
              "each fixed request fills its frame");
constexpr unsigned char kTransceiveCommand[] = {0x12, 0x03};
constexpr std::size_t kCommandAt = 2;
// Count bytes behind the TX bytes: class, function, TX length, RX length.
constexpr int kTransceiveFixedCount = 4;
constexpr int kSakAt = kDataAt;
constexpr int kRxLengthAt = kDataAt;
static_assert(rfid::elatec::kTransceiveDataAt == kRxLengthAt + 1,
              "the card's reply follows its length");

// The line of an unexpected result, for every operation that judges one.
constexpr rfid::LogLine kTryAgain = {"Warn", "Please try again.\n"};

Verdict judgeResult(Reply reply) {
  switch (reply.at(kResultByte)) {
    case kResultTrue:
      return Verdict::kSuccess;
    case kResultFalse:
      return Verdict::kRefused;
    default:
      return Verdict::kRetry;
  }
}

}  // namespace

namespace rfid::elatec {

void buildSearchTagFrame(unsigned char (&frame)[kSearchTagFrameSize]) {
  std::memcpy(frame, kSearchTagFrame, sizeof frame);
}

void buildLoginFrame(unsigned char (&frame)[kLoginFrameSize], int block, const unsigned char* key,
                     unsigned char keyId) {
  std::memcpy(frame, kLoginHeader, sizeof kLoginHeader);
  std::memcpy(frame + kParametersAt, key, ROW);
  frame[kParametersAt + ROW] = keyId;
  // The reader authenticates a sector, so the frame ends with the sector.
  frame[kParametersAt + ROW + 1] = lowByte(block / kBlocksPerSector);
}

void buildReadFrame(unsigned char (&frame)[kReadFrameSize], int block) {
  std::memcpy(frame, kReadHeader, sizeof kReadHeader);
  frame[kParametersAt] = lowByte(block);
}

void buildWriteFrame(unsigned char (&frame)[kWriteFrameSize], int block,
                     const unsigned char* data) {
  std::memcpy(frame, kWriteHeader, sizeof kWriteHeader);
  frame[kParametersAt] = lowByte(block);
  std::memcpy(frame + kParametersAt + 1, data, kBlockSize);
}

void buildBeepFrame(unsigned char (&frame)[kBeepFrameSize], unsigned char sound) {
  std::memcpy(frame, kBeepTemplate, sizeof frame);
  frame[kBeepSoundAt] = sound;
}

Verdict judgeSearchTag(Reply reply, int stage, int& serialLength, bool& copySerial) {
  if (reply.at(kResultByte) != kResultTrue) return Verdict::kSilent;
  serialLength = reply.at(kSerialLengthAt);
  // A 4-byte serial number replaces the record only while searching; a
  // 7-byte one in every stage. Other lengths count as a card, with no record.
  copySerial = (serialLength == 4 && stage == SEARCH) || serialLength == 7;
  if (copySerial && !reply.covers(kSerialAt + serialLength - 1)) return Verdict::kIncomplete;
  return Verdict::kSuccess;
}

Verdict judgeLogin(Reply reply) {
  return judgeResult(reply);
}

Verdict judgeReadBlock(Reply reply) {
  const Verdict verdict = judgeResult(reply);
  if (verdict == Verdict::kSuccess && !reply.covers(kDataAt + kBlockSize - 1)) {
    return Verdict::kIncomplete;
  }
  return verdict;
}

Verdict judgeWriteBlock(Reply reply, bool& echoed) {
  // Readers answer a write with status and result only; an echo of the
  // data, where a reader sends one, is passed back to the caller.
  echoed = reply.covers(kDataAt + kBlockSize - 1);
  return judgeResult(reply);
}

void buildGetSakFrame(unsigned char (&frame)[kGetSakFrameSize]) {
  std::memcpy(frame, kGetSakFrame, sizeof frame);
}

std::size_t buildTransceiveFrame(unsigned char (&frame)[kTransceiveFrameSize],
                                 const unsigned char* tx, int txLength, int rxLimit) {
  const int count = txLength + kTransceiveFixedCount;
  frame[0] = lowByte(count);
  frame[1] = lowByte(count >> 8);
  std::memcpy(frame + kCommandAt, kTransceiveCommand, sizeof kTransceiveCommand);
  frame[kTransceiveHeaderSize - 1] = lowByte(txLength);
  std::memcpy(frame + kTransceiveHeaderSize, tx, static_cast<std::size_t>(txLength));
  frame[kTransceiveHeaderSize + static_cast<std::size_t>(txLength)] = lowByte(rxLimit);
  return kTransceiveHeaderSize + static_cast<std::size_t>(txLength) + 1;
}

Verdict judgeGetSak(Reply reply) {
  const Verdict verdict = judgeResult(reply);
  if (verdict == Verdict::kSuccess && !reply.covers(kSakAt)) return Verdict::kIncomplete;
  return verdict;
}

Verdict judgeTransceive(Reply reply, int rxCapacity, int& rxLength) {
  const Verdict verdict = judgeResult(reply);
  if (verdict != Verdict::kSuccess) return verdict;
  if (!reply.covers(kRxLengthAt)) return Verdict::kIncomplete;
  const int claimed = reply.at(kRxLengthAt);
  // A claim beyond the bytes that came or the caller's room is not taken in
  // part: the caller gets no card byte of a reply it cannot trust whole.
  if (claimed > rxCapacity || !reply.covers(kTransceiveDataAt + claimed - 1)) {
    return Verdict::kIncomplete;
  }
  rxLength = claimed;
  return verdict;
}

bool isWholeFrame(Reply reply) {
  return reply.count >= kLengthPrefixSize &&
         reply.count == kLengthPrefixSize + (reply.at(0) | reply.at(1) << 8);
}

}  // namespace rfid::elatec

using namespace rfid;  // NOLINT(google-build-using-namespace): the operations below

namespace rfid::elatec {

Verdict searchForTag(int fd, unsigned char* serialNumber, int stage, int& serialLength,
                     int& replyCount) {
  unsigned char frame[kSearchTagFrameSize];
  buildSearchTagFrame(frame);
  ReceiveArea rx;
  bool copySerial = false;
  const Verdict verdict = judgeExchange<isWholeFrame>(
      fd, frame, sizeof frame, rx, replyCount,
      [&](Reply reply) { return judgeSearchTag(reply, stage, serialLength, copySerial); });
  if (verdict == Verdict::kSuccess && copySerial) {
    serialNumber[0] = static_cast<unsigned char>(serialLength);
    std::memcpy(serialNumber + 1, rx + kSerialAt, static_cast<std::size_t>(serialLength));
  }
  return verdict;
}

}  // namespace rfid::elatec

extern "C" bool searchTag(int Fd, int /*moduleType*/, unsigned char* serialNumber, int status) {
  static constexpr VerdictLog kLines = {};
  if (serialNumber == nullptr) return false;

  int serialLength = 0;
  int replyCount = 0;
  const Verdict verdict = elatec::searchForTag(Fd, serialNumber, status, serialLength, replyCount);
  if (!logVerdict(RFID_LOG_SITE, verdict, kLines, replyCount)) return false;
  if (serialLength == 4) {
    DEBUG_INFO_1("Card type: MIFARE classic.\n");
  } else if (serialLength == 7) {
    DEBUG_INFO_1("Card type: Plus, UltraLight or DESFire.\n");
  }
  return true;
}

extern "C" bool MifareClassic_Login(int Fd, int /*moduleType*/, int block, unsigned char keyid) {
  static constexpr VerdictLog kLines = {info("MIFARE classic login pass.\n"),
                                        info("MIFARE classic login fail.\n"), kTryAgain};
  if (!isCardBlock(RFID_LOG_SITE, block)) return false;

  unsigned char frame[elatec::kLoginFrameSize];
  elatec::buildLoginFrame(frame, block, sectorKeyA[sectorOfBlock(block)], keyid);
  ReceiveArea rx;
  return operate<elatec::isWholeFrame>(RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
                                       [](Reply reply) { return elatec::judgeLogin(reply); });
}

extern "C" bool MifareClassic_ReadBlock(int Fd, int /*moduleType*/, int block,
                                        unsigned char* data) {
  static constexpr VerdictLog kLines = {info("Read block successfully.\n"),
                                        info("Unsuccessful to read block.\n"), kTryAgain};
  if (data == nullptr || !isCardBlock(RFID_LOG_SITE, block)) return false;

  unsigned char frame[elatec::kReadFrameSize];
  elatec::buildReadFrame(frame, block);
  ReceiveArea rx;
  if (!operate<elatec::isWholeFrame>(RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
                                     [](Reply reply) { return elatec::judgeReadBlock(reply); })) {
    return false;
  }
  std::memcpy(data, rx + kDataAt, kBlockSize);
  return true;
}

extern "C" bool MifareClassic_WriteBlock(int Fd, int /*moduleType*/, int block,
                                         unsigned char* data) {
  static constexpr VerdictLog kLines = {info("Write block successfully.\n"),
                                        info("Unsuccessful to Write block.\n"), kTryAgain};
  if (data == nullptr || !isCardBlock(RFID_LOG_SITE, block)) return false;

  unsigned char frame[elatec::kWriteFrameSize];
  elatec::buildWriteFrame(frame, block, data);
  ReceiveArea rx;
  bool echoed = false;
  if (!operate<elatec::isWholeFrame>(
          RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
          [&echoed](Reply reply) { return elatec::judgeWriteBlock(reply, echoed); })) {
    return false;
  }
  if (echoed) std::memcpy(data, rx + kDataAt, kBlockSize);
  return true;
}

extern "C" bool SetBeep(int Fd, int /*moduleType*/, unsigned char sound) {
  bool isSuccess = false;
  unsigned char frame[elatec::kBeepFrameSize];
  elatec::buildBeepFrame(frame, sound);
  if (Fd <= 0) return isSuccess;

  // The beep is fire-and-forget: the reply is read and dropped unjudged.
  ReceiveArea rx;
  (void)exchange(Fd, frame, sizeof frame, rx);
  isSuccess = true;
  return isSuccess;
}

extern "C" bool rfidElatecGetSak(int Fd, unsigned char* sak) {
  static constexpr VerdictLog kLines = {info("Card SAK read.\n"),
                                        info("No SAK: no card selected.\n"), kTryAgain};
  if (sak == nullptr) return false;  // no reader: operate() sends nothing

  unsigned char frame[elatec::kGetSakFrameSize];
  elatec::buildGetSakFrame(frame);
  ReceiveArea rx;
  if (!operate<elatec::isWholeFrame>(RFID_LOG_SITE, Fd, frame, sizeof frame, rx, kLines,
                                     [](Reply reply) { return elatec::judgeGetSak(reply); })) {
    return false;
  }
  *sak = rx[kSakAt];
  return true;
}

extern "C" int rfidElatecTransceive(int Fd, const unsigned char* tx, int txLength,
                                    unsigned char* rx, int rxCapacity) {
  static constexpr VerdictLog kLines = {{}, info("Card exchange fail.\n"), kTryAgain};
  constexpr int kFailed = -1;
  if (Fd <= 0 || tx == nullptr || rx == nullptr) return kFailed;
  if (txLength < 1 || txLength > elatec::kMaxTransceiveTx) {
    DEBUG_WARN_1("Command length %d is out of range.\n", txLength);
    return kFailed;
  }
  if (rxCapacity < 1) {
    DEBUG_WARN_1("Reply room %d is out of range.\n", rxCapacity);
    return kFailed;
  }

  unsigned char frame[elatec::kTransceiveFrameSize];
  const std::size_t length = elatec::buildTransceiveFrame(
      frame, tx, txLength,
      rxCapacity < elatec::kMaxTransceiveRx ? rxCapacity : elatec::kMaxTransceiveRx);
  ReceiveArea receive;
  int rxLength = 0;
  if (!operate<elatec::isWholeFrame>(RFID_LOG_SITE, Fd, frame, length, receive, kLines,
                                     [rxCapacity, &rxLength](Reply reply) {
                                       return elatec::judgeTransceive(reply, rxCapacity, rxLength);
                                     })) {
    return kFailed;
  }
  std::memcpy(rx, receive + elatec::kTransceiveDataAt, static_cast<std::size_t>(rxLength));
  DEBUG_INFO_1("Card exchange: %d bytes sent, %d received.\n", txLength, rxLength);
  return rxLength;
}
