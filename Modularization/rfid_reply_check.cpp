// The reply check (rfidSetReplyCheck) and what the latest exchange got
// (rfidLastExchange, rfidLastReplyRefused): a setting and two records beside the exchange that the
// operations of both protocols consult.
#include <atomic>

#include "rfid_internal.h"

namespace {

std::atomic<bool> replyCheck{false};
// Per thread: each thread that exchanges has its own latest exchange.
thread_local int lastExchange = 0;
thread_local bool lastReplyRefused = false;

}  // namespace

namespace rfid {

void noteExchange(int result) {
  lastExchange = result;
  lastReplyRefused = false;
}

bool refusesReply(Reply reply, bool wholeFrame) {
  if (wholeFrame || !replyCheck.load(std::memory_order_relaxed)) return false;
  DEBUG_WARN_1("Reply refused: %d bytes, not one whole frame.\n", reply.count);
  lastReplyRefused = true;
  return true;
}

}  // namespace rfid

extern "C" int rfidSetReplyCheck(int on) {
  if (on != 0 && on != 1) return -1;
  replyCheck.store(on == 1, std::memory_order_relaxed);
  return 0;
}

extern "C" int rfidLastExchange(void) {
  return lastExchange;
}

extern "C" int rfidLastReplyRefused(void) {
  return lastReplyRefused ? 1 : 0;
}
