#include "rfid_serial/serial_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rfid_serial {
namespace {

struct BaudRate {
  int baud;
  speed_t constant;
};
constexpr BaudRate kBaudRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

}  // namespace

unsigned baudConstant(int baud) {
  for (const BaudRate& rate : kBaudRates) {
    if (rate.baud == baud) return rate.constant;
  }
  return 0;
}

bool configureRawPort(int fd, int baud) {
  const speed_t speed = baudConstant(baud);
  if (speed == 0) {
    errno = EINVAL;
    return false;
  }
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // No minimum count and no timer: a read takes what has arrived and
  // returns 0 at once when nothing has.
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) return false;
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

UniqueFd openSerialPort(const std::string& path, int baud, std::string& error) {
  if (baudConstant(baud) == 0) {
    error = "baud rate " + std::to_string(baud) +
            " is not offered; use one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
            "230400";
    return UniqueFd();
  }
  // Non-blocking open: a port whose modem lines are down must not hang the
  // open; the reads return at once by the settings below anyway.
  UniqueFd port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!port.valid()) {
    error = "cannot open " + path + ": " + std::strerror(errno) +
            "; check the path (e.g. /dev/ttyUSB0) and that you may use it (group dialout)";
    return port;
  }
  if (::isatty(port.get()) == 0) {
    error = path +
            " is not a serial port (not a terminal); pass the reader's device, e.g. /dev/ttyUSB0";
    port.reset();
    return port;
  }
  if (!configureRawPort(port.get(), baud)) {
    error = "cannot configure " + path + ": " + std::strerror(errno);
    port.reset();
    return port;
  }
  const int flags = ::fcntl(port.get(), F_GETFL);
  if (flags >= 0) (void)::fcntl(port.get(), F_SETFL, flags & ~O_NONBLOCK);
  return port;
}

}  // namespace rfid_serial
