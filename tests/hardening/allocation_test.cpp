// The module takes nothing from the heap but the buffer getTimeString hands
// out: the benchmarks' counting allocator sees every operation, the log and
// a failed exchange go by without an allocation.
//
// The log does not call tzset() per line: with TZ set it calls it for every
// entry, which returns at once on an unchanged TZ; with TZ unset it looks at
// /etc/localtime at most once a second and calls tzset() only when the file
// changed. Both are counted. The C library sets up the zone and the console
// buffer on first use, so each count starts after a first round.
//
// The counting allocator replaces malloc for the whole process, so this test
// is not built with the sanitizers, which bring their own.
#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "operations.h"

namespace rfid::testing {
namespace {

// The scripted reader allocates as it serves a request; that is the test
// double's heap use, not the module's, so counting pauses for it.
unsigned long counted = 0;
ExchangeWait readerWait = nullptr;
void uncountedReaderWait() {
  counted += rfid_alloc_count_end();
  readerWait();
  rfid_alloc_count_begin();
}

// Every operation with every reply of the protocol table, a failed write
// and a long log message; returns the allocations they made.
unsigned long allocationsOfEverything() {
  ScriptedReader reader;
  readerWait = exchangeWait;
  const ScopedExchangeWait uncounted(uncountedReaderWait);
  counted = 0;
  for (const ReplyCase& c : kReplyCases) {
    const Operation& op = kOperations.at(c.operation);
    unsigned char buffer[kBlockSize] = {};
    reader.answer(c.reply);
    rfid_alloc_count_begin();
    op.call(reader.fd(), MODULE_VOR, op.block, buffer);
    counted += rfid_alloc_count_end();
  }
  const std::string longMessage(5000, 'x');
  unsigned char frame[] = {0x03, 0x20, 0x01, 0x22};
  unsigned char rx[kReceiveSize];
  rfid_alloc_count_begin();
  StoreLogMessage("%s %d\n", longMessage.c_str(), 42);
  system_command(-1, frame, sizeof frame, rx);  // the write fails: an Error line
  return counted + rfid_alloc_count_end();
}

TEST(AllocationTest, OnlyGetTimeStringTakesFromTheHeap) {
  // Valgrind puts its own malloc in place of the counting one.
  void* (*volatile allocate)(std::size_t) = malloc;
  rfid_alloc_count_begin();
  free(allocate(1));
  if (rfid_alloc_count_end() != 1) GTEST_SKIP() << "malloc is replaced by a tool";

  for (const char* zone : {":/etc/localtime", static_cast<const char*>(nullptr)}) {
    const ScopedTimeZone timeZone(zone);
    LogCapture log;
    allocationsOfEverything();
    EXPECT_EQ(allocationsOfEverything(), 0U) << "TZ " << (zone != nullptr ? zone : "unset");
  }
  for (int i = 0; i < 3; ++i) {
    rfid_alloc_count_begin();
    char* stamp = getTimeString();
    EXPECT_EQ(rfid_alloc_count_end(), 1U);
    free(stamp);
  }
}

}  // namespace
}  // namespace rfid::testing
