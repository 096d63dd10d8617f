// Every reader operation behind one signature, with a reply that makes it
// succeed, so that a hardening check can be run over all of them at once.
#ifndef RFID_TESTS_HARDENING_OPERATIONS_H
#define RFID_TESTS_HARDENING_OPERATIONS_H

#include <string>
#include <vector>

#include "rfid_internal.h"
#include "scripted_reader.h"

namespace rfid::hardening {

using rfid::testing::Bytes;

enum class Outcome { kFalse, kTrue, kNoResult };

// What an operation needs besides the descriptor and the module type.
struct Arguments {
  int block = 5;
  unsigned char* buffer = nullptr;  // serial record or block data, 16 bytes of room
};

struct Operation {
  const char* name;
  bool vor;          // a VOR operation: refuses MODULE_ELATEC
  bool takesBlock;   // refuses blocks outside 0 to 63
  bool takesBuffer;  // refuses a null buffer
  Bytes successReply;
  Outcome onSuccess;  // with successReply
  Outcome onNoReply;  // when the reader is silent, gone or garbled
  Outcome (*call)(int fd, int moduleType, const Arguments& arguments);

  // With no reader (Fd <= 0) or a refused argument.
  Outcome onRefusal() const {
    return onSuccess == Outcome::kNoResult ? Outcome::kNoResult : Outcome::kFalse;
  }
};

inline Outcome outcome(bool result) {
  return result ? Outcome::kTrue : Outcome::kFalse;
}

inline const std::vector<Operation>& allOperations() {
  static const Bytes kBlockReadReply = {0x13, 0x21, 0,  1,  2,  3,  4,  5,  6, 7,
                                        8,    9,    10, 11, 12, 13, 14, 15, 0};
  static const Bytes kElatecBlockReply = {0x12, 0, 0, 1, 0,  1,  2,  3,  4,  5,
                                          6,    7, 8, 9, 10, 11, 12, 13, 14, 15};
  static const Bytes kCardReply = {0x09, 0x20, 1, 2, 3, 4, 0}, kWritten = {0x02, 0x22, 0},
                     kHalted = {0x02, 0x28, 0}, kBuzzed = {0x02, 0x14, 0},
                     kTagFound = {0x08, 0, 0, 1, 0, 0, 4, 1, 2, 3, 4}, kTrue = {0x02, 0, 0, 1};
  constexpr Outcome T = Outcome::kTrue, F = Outcome::kFalse, N = Outcome::kNoResult;
  // name, vor, takesBlock, takesBuffer, success reply, on success, on no reply, call
  static const std::vector<Operation> operations = {
      {"getRequestCardSN", true, false, true, kCardReply, T, F,
       [](int fd, int type, const Arguments& a) {
         return outcome(getRequestCardSN(fd, type, a.buffer));
       }},
      {"getBlockRead", true, true, true, kBlockReadReply, T, F,
       [](int fd, int type, const Arguments& a) {
         return outcome(getBlockRead(fd, type, a.block, 0, a.buffer));
       }},
      {"setBlockWrite", true, true, true, kWritten, T, F,
       [](int fd, int type, const Arguments& a) {
         return outcome(setBlockWrite(fd, type, a.block, 0, a.buffer));
       }},
      {"sethaltCard", true, false, false, kHalted, N, N,
       [](int fd, int type, const Arguments&) {
         sethaltCard(fd, type);
         return N;
       }},
      {"setBuzzer", true, false, false, kBuzzed, N, N,
       [](int fd, int type, const Arguments&) {
         setBuzzer(fd, type, 3);
         return N;
       }},
      {"searchTag", false, false, true, kTagFound, T, F,
       [](int fd, int type, const Arguments& a) {
         return outcome(searchTag(fd, type, a.buffer, SEARCH));
       }},
      {"MifareClassic_Login", false, true, false, kTrue, T, F,
       [](int fd, int type, const Arguments& a) {
         return outcome(MifareClassic_Login(fd, type, a.block, 0));
       }},
      {"MifareClassic_ReadBlock", false, true, true, kElatecBlockReply, T, F,
       [](int fd, int type, const Arguments& a) {
         return outcome(MifareClassic_ReadBlock(fd, type, a.block, a.buffer));
       }},
      {"MifareClassic_WriteBlock", false, true, true, kTrue, T, F,
       [](int fd, int type, const Arguments& a) {
         return outcome(MifareClassic_WriteBlock(fd, type, a.block, a.buffer));
       }},
      // The beep's reply is not judged: true whenever there is a reader.
      {"SetBeep", false, false, false, kTrue, T, T,
       [](int fd, int type, const Arguments&) { return outcome(SetBeep(fd, type, 1)); }},
  };
  return operations;
}

}  // namespace rfid::hardening

#endif  // RFID_TESTS_HARDENING_OPERATIONS_H
