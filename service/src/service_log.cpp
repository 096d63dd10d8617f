#include "service_log.h"

#include <cstdarg>
#include <cstdio>

#include "Module_RFID.h"

namespace rfid_tokend {

void logLine(Level level, const char* format, ...) {
  static const char* const kLevelNames[] = {"Info", "Warn", "Error"};
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  StoreLogMessage("[rfid-tokend][%s] %s\n", kLevelNames[static_cast<int>(level)], message);
}

}  // namespace rfid_tokend
