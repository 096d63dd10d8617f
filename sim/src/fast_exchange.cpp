#include "rfid_sim/fast_exchange.h"

#include "rfid_internal.h"

namespace rfid_sim {
namespace {

// The module's wait is a plain function pointer, so the simulator it waits
// for has to be reachable from a plain function.
Simulator* current = nullptr;

void waitForCurrent() {
  if (current != nullptr) (void)current->waitForReply();
}

}  // namespace

// The wait is kept as a plain pointer rather than a rfid::ScopedExchangeWait,
// so that this header does not hand the module's private header to its
// users (rfidctl includes only the module's public headers).
FastExchange::FastExchange(Simulator& simulator) : replaced_(rfid::exchangeWait) {
  rfid::exchangeWait = waitForCurrent;
  current = &simulator;
}

FastExchange::~FastExchange() {
  rfid::exchangeWait = replaced_;
  current = nullptr;
}

}  // namespace rfid_sim
