// The cards and fleet key files that several end-to-end tests tap: one
// Classic fleet (key A, MAC key id 1) and its genuine card, and a badge
// read from card memory; and the simulator's names those tests use.
#ifndef RFID_TOKEND_TEST_CARDS_H
#define RFID_TOKEND_TEST_CARDS_H

#include <chrono>
#include <initializer_list>
#include <string>

#include "harness.h"
#include "rfid_sim/card.h"
#include "rfid_sim/simulator.h"

namespace rfid_tokend_test {

using rfid_sim::Card;
using rfid_sim::Model;
using rfid_sim::Simulator;
using std::chrono::milliseconds;

// The Classic fleet as a charger holds it: key A and the MAC key, id 1.
extern const char* const kFleetChargerKeys;
// The same fleet as the provisioning bench holds it: key B as well.
std::string fleetBenchKeys();

// The fleet's genuine card: serial 1A2B3C4D, token id 0000075BCD15 under
// key id 1.
rfid_sim::Card classicFleetCard();

// A card whose sector 1 is locked with key A0A1A2A3A4A5 and holds the badge
// number EMP-0042 in block 4.
rfid_sim::Card badge();

// The service refused to start as a fault at start must: exit status 2, one
// line on its error stream that names `fault`, and none of `secrets` in it.
void expectRefusedToStart(const Outcome& outcome, const std::string& fault,
                          std::initializer_list<const char*> secrets = {});

}  // namespace rfid_tokend_test

#endif
