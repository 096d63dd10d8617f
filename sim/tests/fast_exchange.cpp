#include "fast_exchange.h"

namespace rfid_sim {
namespace {

// The module's wait is a plain function pointer, so the simulator it waits
// for has to be reachable from a plain function.
Simulator* current = nullptr;

void waitForCurrent() {
  if (current != nullptr) (void)current->waitForReply();
}

}  // namespace

FastExchange::FastExchange(Simulator& simulator) : wait_(waitForCurrent) {
  current = &simulator;
}

FastExchange::~FastExchange() {
  current = nullptr;
}

}  // namespace rfid_sim
