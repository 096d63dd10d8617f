// Proves that the fuzz targets' check "nothing is read past the bytes
// received" is real: a deliberately faulty reader of the receive area must
// be stopped by the address sanitizer, a correct one must not, and the
// poison laid on an operation's receive area must be gone once the
// operation has returned (no false reports on later use of that stack).
//
//   poison_probe past-reply    reads one byte past the reply: must abort
//   poison_probe within-reply  reads the last byte of the reply: exits 0
//   poison_probe stack-reuse   runs an operation on a short reply, then
//                              uses the same stack again: exits 0
#include <cstdio>
#include <cstring>
#include <string>

#include "reader_double.h"
#include "rfid_internal.h"

namespace {

using rfid::fuzz::ReplyScript;

constexpr int kReplyBytes = 5;

// Reads one byte of `rx` the way a faulty reply judge would.
__attribute__((noinline)) int peek(const unsigned char* rx, int index) {
  return *static_cast<const volatile unsigned char*>(rx + index);
}

int probeReceiveArea(int index) {
  unsigned char frame[] = {0x03, 0x20, 0x01, 0x22};
  unsigned char rx[rfid::fuzz::kReadSize] = {};
  rfid::fuzz::beginOperation(ReplyScript{false, kReplyBytes, {0x09, 0x20, 1, 2, 3}});
  const int received = system_command(rfid::fuzz::kReaderFd, frame, sizeof frame, rx);
  rfid::fuzz::endOperation();
  return received + peek(rx, index);
}

// Touches a stack area as large as an operation's frame.
__attribute__((noinline)) int useStack() {
  volatile unsigned char area[4 * rfid::kReceiveSize];
  for (auto& b : area) b = 1;
  int sum = 0;
  for (const auto& b : area) sum += b;
  return sum;
}

int probeStackReuse() {
  unsigned char serial[rfid::kSerialRecordSize] = {};
  int total = 0;
  for (int i = 0; i < 3; ++i) {
    rfid::fuzz::beginOperation(ReplyScript{false, 2, {0x09, 0x20}});
    total += getRequestCardSN(rfid::fuzz::kReaderFd, MODULE_VOR, serial) ? 1 : 0;
    rfid::fuzz::endOperation();
    total += useStack();
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  int result = 0;
  if (mode == "past-reply") {
    result = probeReceiveArea(kReplyBytes);
  } else if (mode == "within-reply") {
    result = probeReceiveArea(kReplyBytes - 1);
  } else if (mode == "stack-reuse") {
    result = probeStackReuse();
  } else {
    std::fprintf(stderr, "usage: %s past-reply|within-reply|stack-reuse\n", argv[0]);
    return 2;
  }
  std::printf("probe %s finished (%d)\n", mode.c_str(), result);
  return 0;
}
