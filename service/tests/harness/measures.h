// What the end-to-end tests and the service's benchmarks read off the
// service's processes and make of their figures: CPU time and memory from
// /proc, system calls counted by strace, the monthly log's entries,
// percentiles.
#ifndef RFID_TOKEND_TESTS_MEASURES_H
#define RFID_TOKEND_TESTS_MEASURES_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace rfid_tokend_test {

// Resident size of a process, at its peak so far and now, in KiB; -1 when
// the process is gone.
long peakResidentKiB(pid_t pid);
long residentKiB(pid_t pid);

// One process of the service at one moment.
struct ProcessSample {
  pid_t pid = 0;
  std::string role;        // "rfid-tokend", or "worker, NAME" after its reader
  long long cpuTicks = 0;  // utime + stime, in clock ticks
  long long runNs = 0;     // time on a CPU, all threads
  long long rssKiB = 0;
  long long pssKiB = 0;
};

// The service and its workers.
std::vector<ProcessSample> sampleService(pid_t service);

// Entries in the module's monthly log in `directory`.
int logEntries(const std::string& directory);

// The system calls of process `pid` and its threads over `seconds`,
// counted by strace -c -f attached to it; -1 when strace is missing or
// could not attach.
long countSystemCalls(pid_t pid, int seconds);

// The machine's load average over the last minute.
double loadAverage();

// The q-quantile (0 to 1) of `values`, 0 for none.
double percentile(std::vector<double> values, double q);

}  // namespace rfid_tokend_test

#endif  // RFID_TOKEND_TESTS_MEASURES_H
