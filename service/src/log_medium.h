// The log medium's state, as the module's queued log sees it in each
// process of the service (rfidLogMediumState), and as the service reports
// it: one Warn line and one event when entries start being lost, one of
// each with the count when they reach the file again.
#ifndef RFID_TOKEND_LOG_MEDIUM_H
#define RFID_TOKEND_LOG_MEDIUM_H

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace rfid_tokend {

// The line a worker sends when its log's state changed: "log-medium WHY LOST".
std::string logMediumLine(int why, unsigned long lost);
struct LogMediumReport {
  int why = 0;  // 0 writing, else the errno value rfidLogMediumState() gave
  unsigned long lost = 0;
};
std::optional<LogMediumReport> decodeLogMediumLine(const std::string& line);

// "blocked", "full", "read-only", "removed", "the queue is full", or the
// system's text for another errno value.
std::string logMediumReason(int why);

// Joins the reports of every process. `source` -1 is the main process.
class LogMedium {
 public:
  struct Change {
    bool losing;
    std::string reason;  // losing: why
    unsigned long lost;  // writing again: entries lost meanwhile
  };
  void report(int source, const LogMediumReport& report);
  // A source that ended: its losses stay counted, its state is gone.
  void ended(int source);
  // The change since the last call, if any.
  std::optional<Change> change();

 private:
  unsigned long lostNow() const;
  std::map<int, LogMediumReport> sources_;
  unsigned long endedLost_ = 0;
  bool losing_ = false;
  unsigned long lostAtStart_ = 0;  // lost before the latest loss began
};

// The event line on standard output (without the newline).
std::string logMediumEventLine(const LogMedium::Change& change,
                               std::chrono::system_clock::time_point time);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_LOG_MEDIUM_H
