// Every operation of both reader families with fixed arguments, and one
// table of replies: for each, the verdict of the operation's judge and what
// the operation makes of it (result, the caller's buffer, the log). Also a
// wait counter for calls that must not reach the reader, and byte helpers.
#ifndef RFID_TESTS_OPERATIONS_H
#define RFID_TESTS_OPERATIONS_H

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "scripted_reader.h"

namespace rfid::testing {

// Replaces the exchange wait by a counter: the module waits only after a
// frame was written, so a count of zero means nothing went out.
class WaitCounter {
 public:
  WaitCounter() { count_ = 0; }
  int count() const { return count_; }

 private:
  static inline int count_ = 0;
  ScopedExchangeWait wait_{[] { ++count_; }};
};

inline Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The first `count` bytes: a reply that ended early.
inline Bytes head(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

// The VOR frame trailer: XOR of every byte before it.
inline Bytes withChecksum(Bytes frame) {
  unsigned char sum = 0;
  for (const unsigned char byte : frame) sum ^= byte;
  frame.push_back(sum);
  return frame;
}

enum class Family {
  kVor,      // refuses MODULE_ELATEC
  kVorVoid,  // refuses MODULE_ELATEC, returns nothing
  kElatec,   // serves every module type
};

// Row s of the key table as the tests provision it: s0 s1 .. s5 (hex), so
// that a frame shows which row it carries.
inline Bytes keyOfSector(int sector) {
  Bytes key;
  for (int i = 0; i < ROW; ++i) key.push_back(static_cast<unsigned char>(sector * 16 + i));
  return key;
}

constexpr unsigned char kPreset = 0x5A;
const Bytes kUntouched(kBlockSize, kPreset);
const Bytes kBlock = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                      0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F};

// An operation with fixed arguments but the descriptor, module type, block
// and buffer, and its judge: `length` is the serial length a judge reports,
// `flag` whether a tag search copies the serial number or a write reply
// echoed the block.
struct Operation {
  const char* function;
  Family family;
  int block;         // the block it is called with; -1 for none
  bool takesBuffer;  // refuses a null buffer
  Bytes request;     // with the provisioned keys and a preset buffer
  bool (*call)(int fd, int type, int block, unsigned char* buffer);  // void ones: false
  Verdict (*judge)(Reply reply, int& length, bool& flag);            // the beep's: always kSuccess
};

using U = unsigned char*;
const std::map<std::string, Operation> kOperations = {
    {"card",
     {"getRequestCardSN", Family::kVor, -1, true, withChecksum({3, 0x20, 1}),
      [](int fd, int type, int, U b) { return getRequestCardSN(fd, type, b); },
      [](Reply r, int& n, bool&) { return vor::judgeCardRequest(r, 0x20, n); }}},
    {"vor read",
     {"getBlockRead", Family::kVor, 0, true,
      withChecksum(concat({0x0A, 0x21, 0x60, 0}, keyOfSector(0))),
      [](int fd, int type, int block, U b) { return getBlockRead(fd, type, block, 0x60, b); },
      [](Reply r, int&, bool&) { return vor::judgeBlockRead(r, 0x21); }}},
    {"vor write",
     {"setBlockWrite", Family::kVor, 63, true,
      withChecksum(concat(concat({0x1A, 0x22, 0x61, 63}, keyOfSector(15)), kUntouched)),
      [](int fd, int type, int block, U b) { return setBlockWrite(fd, type, block, 0x61, b); },
      [](Reply r, int&, bool&) { return vor::judgeBlockWrite(r, 0x22); }}},
    {"halt",
     {"sethaltCard", Family::kVorVoid, -1, false, withChecksum({2, 0x28}),
      [](int fd, int type, int, U) { return sethaltCard(fd, type), false; },
      [](Reply r, int&, bool&) { return vor::judgeHalt(r); }}},
    {"buzzer 10",
     {"setBuzzer", Family::kVorVoid, -1, false, withChecksum({3, 0x14, 10}),
      [](int fd, int type, int, U) { return setBuzzer(fd, type, 10), false; },
      [](Reply r, int&, bool&) { return vor::judgeBuzzer(r); }}},
    {"buzzer 11",
     {"setBuzzer", Family::kVorVoid, -1, false, withChecksum({3, 0x14, 5}),
      [](int fd, int type, int, U) { return setBuzzer(fd, type, 11), false; },
      [](Reply r, int&, bool&) { return vor::judgeBuzzer(r); }}},
    {"search",
     {"searchTag", Family::kElatec, -1, true, Bytes{3, 0, 5, 0, 16},
      [](int fd, int type, int, U b) { return searchTag(fd, type, b, SEARCH); },
      [](Reply r, int& n, bool& f) { return elatec::judgeSearchTag(r, SEARCH, n, f); }}},
    {"search read",
     {"searchTag", Family::kElatec, -1, true, Bytes{3, 0, 5, 0, 16},
      [](int fd, int type, int, U b) { return searchTag(fd, type, b, READ); },
      [](Reply r, int& n, bool& f) { return elatec::judgeSearchTag(r, READ, n, f); }}},
    {"login",
     {"MifareClassic_Login", Family::kElatec, 2, false,
      concat(concat({0x0A, 0x00, 0x0B, 0x00}, keyOfSector(0)), {0x61, 0}),
      [](int fd, int type, int block, U) { return MifareClassic_Login(fd, type, block, 0x61); },
      [](Reply r, int&, bool&) { return elatec::judgeLogin(r); }}},
    {"read",
     {"MifareClassic_ReadBlock", Family::kElatec, 0, true, Bytes{3, 0, 11, 1, 0},
      [](int fd, int type, int block, U b) { return MifareClassic_ReadBlock(fd, type, block, b); },
      [](Reply r, int&, bool&) { return elatec::judgeReadBlock(r); }}},
    {"write",
     {"MifareClassic_WriteBlock", Family::kElatec, 3, true,
      concat({0x13, 0x00, 0x0B, 0x02, 3}, kUntouched),
      [](int fd, int type, int block, U b) { return MifareClassic_WriteBlock(fd, type, block, b); },
      [](Reply r, int&, bool& f) { return elatec::judgeWriteBlock(r, f); }}},
    {"beep",
     {"SetBeep", Family::kElatec, -1, false,
      Bytes{0x09, 0x00, 0x04, 0x07, 0x42, 0x60, 0x09, 0xF4, 0x01, 0xF4, 0x01},
      [](int fd, int type, int, U) { return SetBeep(fd, type, 0x42); },
      [](Reply, int&, bool&) { return Verdict::kSuccess; }}},
};

struct ReplyCase {
  const char* operation;
  Bytes reply;      // empty: the reader stays quiet
  Verdict verdict;  // the judge's
  Bytes written;    // expected head of the buffer; empty: left as preset
  const char* log;  // expected log lines as LogCapture::messages() shows them
  int length = 0;   // the judge's, 0 when it leaves it alone
  bool flag = false;
};

constexpr Verdict kSuccess = Verdict::kSuccess, kRefused = Verdict::kRefused,
                  kRetry = Verdict::kRetry, kIncomplete = Verdict::kIncomplete,
                  kSilent = Verdict::kSilent;
const Bytes kVorBlock = concat({0x12, 0x21}, kBlock);
const Bytes kElatecBlock = concat({0x12, 0x00, 0x00, 0x01}, kBlock);
// Reader-chosen bytes 0 to 2, result byte, two unexamined bytes, serial length, serial.
const Bytes kFourByteTag = {0x09, 0x00, 0x00, 0x01, 0x01, 0x08, 0x04, 0xC1, 0xC2, 0xC3, 0xC4};
const Bytes kSevenByteTag = {0x0C, 0x00, 0x00, 0x01, 0x02, 0x44, 0x07,
                             0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7};
const Bytes kSevenBytes = {7, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7};
using B = Bytes;

// Replies end exactly at the last byte a verdict needs, or one short of it.
// Without a reply the operation stops before its judge; a reply of one byte
// is judged (its missing bytes read as zero).
const ReplyCase kReplyCases[] = {
    {"card", B{9, 0x20, 1, 2, 3, 4}, kSuccess, B{4, 1, 2, 3, 4}, "Info Card type : MIFARE classic.",
     4},
    {"card", B{9, 0x20, 1, 2, 3}, kIncomplete, B{}, "Warn Incomplete reply: 5 bytes.", 4},
    {"card", B{12, 0x20, 1, 2, 3, 4, 5, 6, 7}, kSuccess, B{7, 1, 2, 3, 4, 5, 6, 7},
     "Info Card type : Plus, UltraLight or DESFire.", 7},
    {"card", B{12, 0x20, 1, 2, 3, 4, 5, 6}, kIncomplete, B{}, "Warn Incomplete reply: 8 bytes.", 7},
    {"card", B{10, 0x20, 1, 2, 3, 4, 5, 6}, kRetry, B{}, "Info Please try again."},
    {"card", B{9, 0xDF, 1, 2, 3, 4}, kRefused, B{}, ""},
    {"card", B{}, kSilent, B{}, ""},
    {"vor read", kVorBlock, kSuccess, kBlock, "Info Read block ok."},
    {"vor read", head(kVorBlock, 17), kIncomplete, B{}, "Warn Incomplete reply: 17 bytes."},
    {"vor read", B{2, 0xDE}, kRefused, B{}, "Info Read block failed."},
    {"vor read", B{2, 0xDD}, kSilent, B{}, ""},
    {"vor write", B{2, 0x22}, kSuccess, B{}, "Info Write block ok."},
    {"vor write", B{2, 0xDD}, kRefused, B{}, "Info Write block failed."},
    {"halt", B{2, 0x28}, kSuccess, B{}, "Info Halt card pass."},
    {"halt", B{2, 0xD7}, kRefused, B{}, "Info Halt card fail."},
    {"buzzer 10", B{3, 0x14}, kSuccess, B{}, "Info Set Buzzer ok.\nInfo Set Buzzer 10 ms."},
    {"buzzer 10", B{3, 0xEC}, kRefused, B{}, "Info Set Buzzer fail."},
    {"buzzer 11", B{3, 0x14}, kSuccess, B{},
     "Warn Value is out of range.\nInfo Set Buzzer ok.\nInfo Set Buzzer 5 ms."},
    {"search", kFourByteTag, kSuccess, B{4, 0xC1, 0xC2, 0xC3, 0xC4},
     "Info Card type: MIFARE classic.", 4, true},
    {"search", head(kFourByteTag, 10), kIncomplete, B{}, "Warn Incomplete reply: 10 bytes.", 4,
     true},
    {"search", kSevenByteTag, kSuccess, kSevenBytes, "Info Card type: Plus, UltraLight or DESFire.",
     7, true},
    {"search", head(kSevenByteTag, 13), kIncomplete, B{}, "Warn Incomplete reply: 13 bytes.", 7,
     true},
    // Other lengths count as a card, with no record to copy.
    {"search", B{9, 0, 0, 1, 0, 0, 10}, kSuccess, B{}, "", 10},
    {"search", B{1, 0, 0, 0, 0, 0, 4}, kSilent, B{}, ""},
    // Past the search stage a 4-byte serial number keeps the host's record.
    {"search read", head(kFourByteTag, 7), kSuccess, B{}, "Info Card type: MIFARE classic.", 4},
    {"search read", kSevenByteTag, kSuccess, kSevenBytes,
     "Info Card type: Plus, UltraLight or DESFire.", 7, true},
    {"login", B{2, 0, 0, 1}, kSuccess, B{}, "Info MIFARE classic login pass."},
    {"login", B{2, 0, 0, 0}, kRefused, B{}, "Info MIFARE classic login fail."},
    {"login", B{2, 0, 0, 2}, kRetry, B{}, "Warn Please try again."},
    {"login", B{}, kRefused, B{}, ""},
    {"login", B{2}, kRefused, B{}, "Info MIFARE classic login fail."},
    {"read", kElatecBlock, kSuccess, kBlock, "Info Read block successfully."},
    {"read", head(kElatecBlock, 19), kIncomplete, B{}, "Warn Incomplete reply: 19 bytes."},
    {"read", B{2, 0, 0, 0}, kRefused, B{}, "Info Unsuccessful to read block."},
    {"read", B{2, 0, 0, 2}, kRetry, B{}, "Warn Please try again."},
    {"read", B{}, kRefused, B{}, ""},
    {"read", B{2}, kRefused, B{}, "Info Unsuccessful to read block."},
    // A write reply that carries the whole block is an echo of it.
    {"write", B{2, 0, 0, 1}, kSuccess, B{}, "Info Write block successfully."},
    {"write", kElatecBlock, kSuccess, kBlock, "Info Write block successfully.", 0, true},
    {"write", head(kElatecBlock, 19), kSuccess, B{}, "Info Write block successfully."},
    {"write", B{2, 0, 0, 0}, kRefused, B{}, "Info Unsuccessful to Write block."},
    {"write", B{2, 0, 0, 2}, kRetry, B{}, "Warn Please try again."},
    {"write", B{}, kRefused, B{}, ""},
    {"write", B{2}, kRefused, B{}, "Info Unsuccessful to Write block."},
    // The beep's reply is read and dropped: true whatever comes.
    {"beep", B{}, kSuccess, B{}, ""},
    {"beep", B{2, 0, 0, 0}, kSuccess, B{}, ""},
};

}  // namespace rfid::testing

#endif  // RFID_TESTS_OPERATIONS_H
