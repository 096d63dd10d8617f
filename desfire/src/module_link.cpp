#include "rfid_desfire/module_link.h"

#include <openssl/crypto.h>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"

namespace rfid_desfire {

Transceive moduleTransceive(int fd) {
  return [fd](const Bytes& apdu) -> std::optional<Bytes> {
    unsigned char rx[RFID_ELATEC_MAX_RX];
    const int count =
        rfidElatecTransceive(fd, apdu.data(), static_cast<int>(apdu.size()), rx, sizeof rx);
    if (count < 0) return std::nullopt;
    Bytes reply(rx, rx + count);
    OPENSSL_cleanse(rx, sizeof rx);
    return reply;
  };
}

FleetRead readFleetCardWithModule(int fd, const ReaderKeys& keys, const Bytes& serial, bool skipSak,
                                  const RandomSource& random) {
  std::optional<std::uint8_t> sak;
  if (!skipSak) {
    unsigned char value = 0;
    if (!rfidElatecGetSak(fd, &value)) return FleetRead{};
    sak = value;
  }
  return readFleetCard(keys, serial, sak, moduleTransceive(fd), random);
}

}  // namespace rfid_desfire
