// The name the module gives its log file for the current month, in local
// time: "[YYYY.MM]SystemLog". The module starts a new file when the month
// turns, so a caller that reads the log asks for the name at the time it
// reads, not once.
#ifndef RFID_HOST_LOG_FILE_H
#define RFID_HOST_LOG_FILE_H

#include <cstdio>
#include <ctime>
#include <string>

namespace rfid_host {

inline std::string monthlyLogFileName() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[48];  // room for any int the year and month may hold
  std::snprintf(name, sizeof name, "[%04d.%02d]SystemLog", local.tm_year + 1900, local.tm_mon + 1);
  return name;
}

}  // namespace rfid_host

#endif  // RFID_HOST_LOG_FILE_H
