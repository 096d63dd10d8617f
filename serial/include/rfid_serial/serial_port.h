// The serial port as a host of the module opens it: raw, 8N1, a chosen baud
// rate, and reads that return at once when nothing has arrived (the module
// waits its fixed half second itself, then reads once). The service, the
// bench tool, the simulator and the tests all open ports through here.
#ifndef RFID_SERIAL_SERIAL_PORT_H
#define RFID_SERIAL_SERIAL_PORT_H

#include <string>

#include "rfid_serial/unique_fd.h"

namespace rfid_serial {

// The readers' usual setting.
constexpr int kDefaultBaud = 9600;

// The termios constant of a baud rate, or 0 when it is not one we offer
// (1200 to 230400, the standard rates).
unsigned baudConstant(int baud);

// Puts a terminal's descriptor in raw mode, 8N1, no flow control, at `baud`,
// with reads that return at once when nothing has arrived. False, with
// errno set, when the descriptor is no terminal or the rate is not offered
// (EINVAL).
bool configureRawPort(int fd, int baud);

// Opens `path` read-write as a reader's port and configures it as above; the
// descriptor is blocking for writes and close-on-exec. On failure the
// result is invalid and `error` says what went wrong and what to check.
UniqueFd openSerialPort(const std::string& path, int baud, std::string& error);

}  // namespace rfid_serial

#endif  // RFID_SERIAL_SERIAL_PORT_H
