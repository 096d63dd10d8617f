// Lets the module's own tests run host sessions against an in-process
// simulated reader without the module's fixed half-second wait.
#ifndef RFID_SIM_TESTS_FAST_EXCHANGE_H
#define RFID_SIM_TESTS_FAST_EXCHANGE_H

#include "rfid_internal.h"
#include "rfid_sim/simulator.h"

namespace rfid_sim {

// While an instance lives, every exchange of the module waits for the
// simulator's answer (Simulator::waitForReply) instead of sleeping half a
// second; the wait it replaced comes back when it is destroyed. One at a
// time, on the thread that calls the module.
class FastExchange {
 public:
  explicit FastExchange(Simulator& simulator);
  ~FastExchange();
  FastExchange(const FastExchange&) = delete;
  FastExchange& operator=(const FastExchange&) = delete;

 private:
  rfid::ScopedExchangeWait wait_;
};

}  // namespace rfid_sim

#endif  // RFID_SIM_TESTS_FAST_EXCHANGE_H
