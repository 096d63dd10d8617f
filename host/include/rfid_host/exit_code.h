// How the programs around the module end (rfidctl, rfid-reader-sim, and
// rfid-tokend when it refuses to start), one set of codes for all of them,
// so that a script reads each one's exit status alike.
#ifndef RFID_HOST_EXIT_CODE_H
#define RFID_HOST_EXIT_CODE_H

namespace rfid_host {

constexpr int kExitOk = 0;
// The work was tried and did not get done: the reader or the card refused
// it, no card answered, the simulator's terminal could not be set up.
constexpr int kExitFailed = 1;
// The command line, or a file it names, cannot be used.
constexpr int kExitUsage = 2;

}  // namespace rfid_host

#endif  // RFID_HOST_EXIT_CODE_H
