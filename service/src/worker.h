// A worker polls one reader. The service starts one per reader by running
// its own program again with kWorkerFlag: the module serves one thread at a
// time and its key table is global, so readers are kept apart as processes,
// and a stuck reader stalls nothing else.
//
// The worker reports ReaderEvents, one JSON line each, on kWorkerEventFd and
// takes commands, one line each, on kWorkerCommandFd. Its standard output
// and error, the module's console lines, go to the service through a pipe. SIGTERM or SIGINT ends
// it after the exchange in flight; SIGHUP takes the keys the service sent
// last on kWorkerKeyFd. A worker reads no key file itself.
#ifndef RFID_TOKEND_WORKER_H
#define RFID_TOKEND_WORKER_H

#include <cstddef>
#include <string>

#include "config.h"

namespace rfid_tokend {

constexpr char kWorkerFlag[] = "--worker";
constexpr int kWorkerEventFd = 3;
constexpr int kWorkerCommandFd = 4;
// Key records from the service (see key_material.h): one before the worker
// starts, and one before each SIGHUP.
constexpr int kWorkerKeyFd = 5;

// The line a worker sends when it has sent nothing for half a second: the
// service restarts a worker that stays silent (see Supervisor).
constexpr char kSignOfLife[] = "alive";

// Commands: sound the reader for the auth consumer's verdict.
constexpr char kCommandAccepted[] = "accepted";
constexpr char kCommandRejected[] = "rejected";

// A worker's exit status when it gets no usable keys from the service.
constexpr int kWorkerKeyFault = 2;

// The worker's settings, as the one argument after kWorkerFlag.
std::string workerArgument(const Config& config, std::size_t reader);

// Runs a worker until it is told to stop; returns its exit status.
int runWorker(const std::string& argument);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_WORKER_H
