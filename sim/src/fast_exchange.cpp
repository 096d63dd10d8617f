#include "rfid_sim/fast_exchange.h"

#include "rfid_internal.h"

namespace rfid_sim {
namespace {

// The module's wait is a plain function pointer, so the simulator it waits
// for has to be reachable from a plain function.
Simulator* current = nullptr;
rfid::ExchangeWait previous = rfid::sleepExchangeWait;

void waitForCurrent() {
  if (current != nullptr) (void)current->waitForReply();
}

}  // namespace

FastExchange::FastExchange(Simulator& simulator) {
  current = &simulator;
  previous = rfid::exchangeWait;
  rfid::exchangeWait = waitForCurrent;
}

FastExchange::~FastExchange() {
  rfid::exchangeWait = previous;
  current = nullptr;
}

}  // namespace rfid_sim
