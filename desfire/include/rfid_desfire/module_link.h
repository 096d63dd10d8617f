// The DESFire read over the module: the Elatec reader's GetSAK and ISO
// 14443-4 exchange (Module_RFID_ext.h) as the Transceive of fleet.h.
#ifndef RFID_DESFIRE_MODULE_LINK_H
#define RFID_DESFIRE_MODULE_LINK_H

#include "rfid_desfire/fleet.h"

namespace rfid_desfire {

// rfidElatecTransceive on `fd`: the card's reply, empty when the exchange
// failed (no card, the reader refused, a malformed reply).
Transceive moduleTransceive(int fd);

// The charger's read of the card that searchTag just found on the Elatec
// reader at `fd` with `serial` (4 or 7 bytes): GetSAK first unless
// `skipSak`, then readFleetCard(). A failed GetSAK is kLost.
FleetRead readFleetCardWithModule(int fd, const ReaderKeys& keys, const Bytes& serial,
                                  bool skipSak = false, const RandomSource& random = systemRandom);

}  // namespace rfid_desfire

#endif  // RFID_DESFIRE_MODULE_LINK_H
