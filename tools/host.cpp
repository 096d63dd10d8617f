#include "host.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "rfid_internal.h"
#include "rfid_sim/hex.h"
#include "rfid_sim/simulator.h"

namespace rfid_tools {
namespace {

struct BaudRate {
  int baud;
  unsigned constant;
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

rfid_sim::UniqueFd openSerialPort(const std::string& path, int baud, std::string& error) {
  // Non-blocking open: a port whose modem lines are down must not hang the
  // open; the reads are made to return at once by the settings below anyway.
  rfid_sim::UniqueFd port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
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
  if (!rfid_sim::configureRawPort(port.get(), baudConstant(baud))) {
    error = "cannot configure " + path + ": " + std::strerror(errno);
    port.reset();
    return port;
  }
  const int flags = ::fcntl(port.get(), F_GETFL);
  if (flags >= 0) (void)::fcntl(port.get(), F_SETFL, flags & ~O_NONBLOCK);
  return port;
}

bool ReaderHost::identify(std::vector<std::uint8_t>& serial) const {
  unsigned char record[rfid::kSerialRecordSize] = {};
  const bool found = model_ == rfid_sim::Model::kVor
                         ? getRequestCardSN(fd_, MODULE_VOR, record)
                         : searchTag(fd_, MODULE_ELATEC, record, SEARCH);
  // A found card with a serial length the module does not know gives no record.
  if (!found || (record[0] != 4 && record[0] != 7)) return false;
  serial.assign(record + 1, record + 1 + record[0]);
  return true;
}

bool ReaderHost::login(int block) const {
  if (!needsLogin()) return true;
  return MifareClassic_Login(fd_, MODULE_ELATEC, block, keySelector_);
}

bool ReaderHost::read(int block, Block& data) const {
  unsigned char bytes[rfid::kBlockSize] = {};
  const bool ok = model_ == rfid_sim::Model::kVor
                      ? getBlockRead(fd_, MODULE_VOR, block, keySelector_, bytes)
                      : MifareClassic_ReadBlock(fd_, MODULE_ELATEC, block, bytes);
  if (ok) std::memcpy(data.data(), bytes, data.size());
  return ok;
}

bool ReaderHost::write(int block, const Block& data) const {
  unsigned char bytes[rfid::kBlockSize];
  std::memcpy(bytes, data.data(), sizeof bytes);
  return model_ == rfid_sim::Model::kVor
             ? setBlockWrite(fd_, MODULE_VOR, block, keySelector_, bytes)
             : MifareClassic_WriteBlock(fd_, MODULE_ELATEC, block, bytes);
}

std::string formatBlock(const Block& data) {
  std::string line = rfid_sim::toHex(data.data(), data.size(), " ") + "  |";
  for (const std::uint8_t byte : data) {
    line += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  }
  return line + "|";
}

}  // namespace rfid_tools
