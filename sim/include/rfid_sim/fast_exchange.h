// Lets the module run against an in-process simulated reader without its
// fixed half-second wait.
#ifndef RFID_SIM_FAST_EXCHANGE_H
#define RFID_SIM_FAST_EXCHANGE_H

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
  void (*replaced_)();  // the module's wait before, put back at the end
};

}  // namespace rfid_sim

#endif  // RFID_SIM_FAST_EXCHANGE_H
