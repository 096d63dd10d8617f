// Reader link: the one request/reply exchange on the serial port, and the
// sector key table that both protocols draw their keys from.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "rfid_internal.h"

// Every row ships with the MIFARE transport key, the key that cards leave
// the factory with; hosts provision their own keys at run time.
unsigned char sectorKeyA[COLUMN][ROW] = {
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
};

namespace rfid {

// The readers answer within a few tens of milliseconds at 9600 baud, but
// neither protocol says where a reply ends; a fixed wait that outlasts the
// slowest answer, then one read, takes the whole reply without parsing it.
void sleepExchangeWait() {
  usleep(kExchangeWaitUs);
}

ExchangeWait exchangeWait = sleepExchangeWait;

Reply exchange(int fd, unsigned char* frame, std::size_t length, ReceiveArea& rx) {
  std::memset(rx, 0, sizeof rx);
  return Reply{rx, system_command(fd, frame, static_cast<int>(length), rx)};
}

}  // namespace rfid

extern "C" int system_command(int uart, unsigned char* cmd, int length, unsigned char* rx) {
  if (cmd == nullptr || rx == nullptr || length < 0) return 0;

  // Whatever is still pending belongs to an earlier exchange (a late or
  // over-long reply); dropping it keeps it out of this reply.
  (void)tcflush(uart, TCIOFLUSH);

  if (write(uart, cmd, static_cast<std::size_t>(length)) < 0) {
    // The frame is shown as raw text up to its first zero byte, and never
    // past its 4th byte: block frames carry the sector key from byte 4 on.
    char shown[rfid::kLoggedFrameBytes + 1] = {};
    const std::size_t limit = std::min(static_cast<std::size_t>(length), rfid::kLoggedFrameBytes);
    for (std::size_t i = 0; i < limit && cmd[i] != 0; ++i) shown[i] = static_cast<char>(cmd[i]);
    DEBUG_ERROR_1("system command %s response fail.\n", shown);
    return 0;
  }

  rfid::exchangeWait();
  return static_cast<int>(read(uart, rx, rfid::kReceiveSize));
}
