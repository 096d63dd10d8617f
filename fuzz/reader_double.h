// The reader side of the fuzz targets. The module's objects are linked with
// --wrap for open64 (its open, with 64-bit file offsets), read, write,
// tcflush and fwrite, so its system calls land here: exchanges on kReaderFd
// get the scripted write result and reply, while log-file writes and console
// prints are captured for inspection instead of reaching the disk or the
// terminal. Calls on any other descriptor go to the system and are counted.
#ifndef RFID_FUZZ_READER_DOUBLE_H
#define RFID_FUZZ_READER_DOUBLE_H

#include <cstddef>
#include <string>
#include <vector>

namespace rfid::fuzz {

// A descriptor number that is never open: only the wrappers ever see it.
constexpr int kReaderFd = 1021;
constexpr std::size_t kReadSize = 256;

// What the reader does with the next exchange.
struct ReplyScript {
  bool writeFails = false;           // write() returns -1 (EIO), as on an unplugged port
  int count = 0;                     // what read() returns: -1, 0 or 1..256
  std::vector<unsigned char> bytes;  // the first `count` of them are delivered
};

// What the module did during one operation.
struct Observed {
  int flushes = 0;
  int readerWrites = 0;
  int reads = 0;
  std::vector<unsigned char> request;    // bytes of the last reader write
  std::size_t lastReadSize = 0;          // the size the module asked read() for
  std::vector<std::string> fileEntries;  // each write to the log file
  std::string console;                   // everything printed on stdout
  int otherDescriptorCalls = 0;          // flush, write or read on any other descriptor
};

// Starts capturing with `script` as the reader's behaviour. The module's
// log directory becomes a private temporary directory and its exchange wait
// a no-op on the first call.
void beginOperation(const ReplyScript& script);
// Stops capturing and returns what was seen.
const Observed& endOperation();

// Reports a broken promise of the module and aborts, so that libFuzzer keeps
// the input as a crash.
[[noreturn]] void violation(const char* what);

}  // namespace rfid::fuzz

#endif  // RFID_FUZZ_READER_DOUBLE_H
