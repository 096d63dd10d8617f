// One reader on an open port, through the module's calls for its model: the
// face of the module for the programs around it (rfidctl, the demo,
// rfid-tokend's worker and its fleet reads). Each
// model has one implementation; a caller names the model once, when it
// makes the reader, and reads the same for both afterwards. Every call is
// one exchange with the reader (or none, where the model needs none).
#ifndef RFID_HOST_READER_H
#define RFID_HOST_READER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Module_RFID_ext.h"
#include "rfid_host/model.h"

namespace rfid_host {

using Block = std::array<std::uint8_t, RFID_BLOCK_SIZE>;

// What a host waits after the Elatec reader's SetBeep returns: the reader
// beeps 500 ms on and 500 ms off and takes no request meanwhile, and SetBeep
// only waited 500 ms.
constexpr unsigned kRestAfterBeepUs = 600000;

class Reader {
 public:
  virtual ~Reader() = default;

  virtual Model model() const = 0;
  // Card request (vor) or tag search (elatec). `serial` gets the serial
  // number as the reader sent it; false when no card answered or the reply
  // gave a serial length the module does not know.
  virtual bool identify(std::vector<std::uint8_t>& serial) const = 0;
  // The same exchange and result as identify(), without the module's Info
  // entry for a card found: for a host that polls a card resting on the
  // reader many times a second.
  virtual bool present(std::vector<std::uint8_t>& serial) const = 0;
  // Whether a block needs a login to its sector first: the vor reader's
  // requests carry the key, so there login() is true at once.
  virtual bool needsLogin() const = 0;
  virtual bool login(int block) const = 0;
  virtual bool read(int block, Block& data) const = 0;
  virtual bool write(int block, const Block& data) const = 0;
  // Halts the card in the field. The vor reader reports nothing back (true
  // once sent); the elatec reader has no halt (false, nothing sent).
  virtual bool halt() const = 0;
  // Sounds the reader and returns once it takes requests again: the vor
  // buzzer for `value` reader units (nothing reported back: true once sent),
  // the elatec reader's SetBeep sound `value`, then the rest after it.
  bool sound(unsigned char value) const;
  // sound() without the rest: a host that must not block meanwhile sends
  // no request for soundRestUs() after it returns.
  virtual bool startSound(unsigned char value) const = 0;
  virtual unsigned soundRestUs() const = 0;
  // One ISO 14443-4 exchange with the card in the field (DESFire): the
  // reply's length, or -1 where it failed or the model has none (vor).
  virtual int transceive(const std::uint8_t* request, int requestLength, std::uint8_t* reply,
                         int replyCapacity) const = 0;
  // The SAK of the card the last identify() selected (elatec GetSAK); false
  // where it failed or the model has none (vor, nothing sent).
  virtual bool selectedCardSak(std::uint8_t& sak) const = 0;
};

// The reader of `model` on the open port `fd`; blocks are read and written
// with the key `keySelector` (0: key A, 1: key B) of the module's key table.
std::unique_ptr<Reader> makeReader(int fd, Model model, std::uint8_t keySelector);

}  // namespace rfid_host

#endif  // RFID_HOST_READER_H
