// The module takes nothing from the heap but the buffer getTimeString hands
// out: a counting malloc, active only while the module runs, sees every
// operation, the log and the exchange go by without an allocation.
//
// One allocation is not the module's own: every log message calls tzset()
// so that a changed time zone takes effect, and with TZ unset the C library
// may reload /etc/localtime there, allocating and freeing small buffers.
// The count is therefore taken with the zone named in TZ, and a second
// check shows that without TZ the heap in use does not grow.
//
// This executable replaces malloc for the whole process, so it is not built
// with the sanitizers, which bring their own.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "module_fixture.h"
#include "operations.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
}

namespace {
bool counting = false;
long allocations = 0;
}  // namespace

extern "C" void* malloc(std::size_t size) {
  if (counting) ++allocations;
  return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
  if (counting) ++allocations;
  return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
  if (counting) ++allocations;
  return __libc_realloc(pointer, size);
}

namespace rfid::hardening {
namespace {

using rfid::testing::LogCapture;
using rfid::testing::ScriptedReader;

// The scripted reader allocates as it serves a request; that is the test
// double's heap use, not the module's, so counting pauses for it.
rfid::ExchangeWait readerWait = nullptr;
void uncountedReaderWait() {
  counting = false;
  readerWait();
  counting = true;
}

// Runs every operation, a failed write and a long log message.
void runEverything(ScriptedReader& reader) {
  unsigned char buffer[kBlockSize] = {};
  for (const Operation& op : allOperations()) {
    reader.answer(op.successReply);
    counting = true;
    op.call(reader.fd(), MODULE_VOR, Arguments{5, buffer});
    counting = false;
  }
  const std::string longMessage(5000, 'x');
  unsigned char frame[] = {0x03, 0x20, 0x01, 0x22};
  unsigned char rx[kReceiveSize];
  counting = true;
  StoreLogMessage("%s %d\n", longMessage.c_str(), 42);
  system_command(-1, frame, sizeof frame, rx);  // the write fails: an Error line
  counting = false;
}

// True when this file's malloc is the one the process uses. Valgrind puts
// its own in place of malloc (for calls through the PLT at least), so
// under valgrind the count means nothing.
bool countingMallocActive() {
  const char* const preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "vgpreload") != nullptr) return false;
  void* (*const allocate)(std::size_t) = malloc;
  allocations = 0;
  counting = true;
  void* probe = allocate(1);
  counting = false;
  std::free(probe);
  const bool active = allocations == 1;
  allocations = 0;
  return active;
}

TEST(AllocationTest, OnlyGetTimeStringTakesFromTheHeap) {
  if (!countingMallocActive()) GTEST_SKIP() << "malloc is replaced by a tool";
  const rfid::testing::ScopedTimeZone zone(":/etc/localtime");
  LogCapture log;
  ScriptedReader reader;
  readerWait = rfid::exchangeWait;
  rfid::exchangeWait = uncountedReaderWait;

  // The C library sets up the console buffer and the time zone on first
  // use; that happens once per process, whoever calls first.
  runEverything(reader);
  allocations = 0;
  runEverything(reader);
  EXPECT_EQ(allocations, 0);

  constexpr int kTimeStrings = 3;
  for (int i = 0; i < kTimeStrings; ++i) {
    counting = true;
    char* stamp = getTimeString();
    counting = false;
    std::free(stamp);
  }
  EXPECT_EQ(allocations, kTimeStrings);
  rfid::exchangeWait = readerWait;
}

TEST(AllocationTest, LoggingWithoutTimeZoneDoesNotGrowTheHeap) {
  const rfid::testing::ScopedTimeZone zone(nullptr);
  LogCapture log;
  StoreLogMessage("warm-up\n");
  const std::size_t inUse = mallinfo2().uordblks;
  for (int i = 0; i < 1000; ++i) StoreLogMessage("message %d\n", i);
  EXPECT_EQ(mallinfo2().uordblks, inUse);
}

}  // namespace
}  // namespace rfid::hardening
