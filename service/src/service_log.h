// The service's own log lines. They go through the module's log function,
// so they land in the same monthly log file and on the console, as
// "[rfid-tokend][Info] ...". No line ever carries a key.
#ifndef RFID_TOKEND_SERVICE_LOG_H
#define RFID_TOKEND_SERVICE_LOG_H

namespace rfid_tokend {

enum class Level { kInfo, kWarn, kError };

void logLine(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_SERVICE_LOG_H
