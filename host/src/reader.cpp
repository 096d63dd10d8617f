#include "rfid_host/reader.h"

#include <unistd.h>

#include <cstring>

#include "Module_RFID.h"

namespace rfid_host {
namespace {

// The serial-number record: a length byte the module knows (4 or 7), then
// the serial number.
bool takeSerial(bool found, const unsigned char* record, std::vector<std::uint8_t>& serial) {
  if (!found || (record[0] != 4 && record[0] != 7)) return false;
  serial.assign(record + 1, record + 1 + record[0]);
  return true;
}

// A block read lands in the caller's block only when the read succeeded: a
// failed read leaves it as it was.
bool keepIfRead(bool ok, const Block& read, Block& data) {
  if (ok) data = read;
  return ok;
}

// What both models keep: the port, the module type the module's calls
// name it by, and the key selector of their blocks; and the presence check,
// which the module answers alike for both.
class ModuleReader : public Reader {
 public:
  ModuleReader(int fd, int moduleType, std::uint8_t keySelector)
      : fd_(fd), moduleType_(moduleType), keySelector_(keySelector) {}

  bool present(std::vector<std::uint8_t>& serial) const override {
    unsigned char record[RFID_SERIAL_RECORD_SIZE] = {};
    return takeSerial(rfidCardPresent(fd_, moduleType_, record) == 1, record, serial);
  }

 protected:
  int fd_;
  int moduleType_;
  std::uint8_t keySelector_;
};

class VorReader final : public ModuleReader {
 public:
  VorReader(int fd, std::uint8_t keySelector) : ModuleReader(fd, RFID_MODULE_VOR, keySelector) {}

  Model model() const override { return Model::kVor; }
  bool identify(std::vector<std::uint8_t>& serial) const override {
    unsigned char record[RFID_SERIAL_RECORD_SIZE] = {};
    return takeSerial(getRequestCardSN(fd_, RFID_MODULE_VOR, record), record, serial);
  }
  bool needsLogin() const override { return false; }
  bool login(int) const override { return true; }
  bool read(int block, Block& data) const override {
    Block read{};
    return keepIfRead(getBlockRead(fd_, RFID_MODULE_VOR, block, keySelector_, read.data()), read,
                      data);
  }
  bool write(int block, const Block& data) const override {
    Block bytes = data;  // the module's call takes a writable buffer
    return setBlockWrite(fd_, RFID_MODULE_VOR, block, keySelector_, bytes.data());
  }
  bool halt() const override {
    sethaltCard(fd_, RFID_MODULE_VOR);
    return true;
  }
  bool startSound(unsigned char value) const override {
    setBuzzer(fd_, RFID_MODULE_VOR, value);
    return true;
  }
  unsigned soundRestUs() const override { return 0; }
  int transceive(const std::uint8_t*, int, std::uint8_t*, int) const override { return -1; }
  bool selectedCardSak(std::uint8_t&) const override { return false; }
};

class ElatecReader final : public ModuleReader {
 public:
  ElatecReader(int fd, std::uint8_t keySelector)
      : ModuleReader(fd, RFID_MODULE_ELATEC, keySelector) {}

  Model model() const override { return Model::kElatec; }
  bool identify(std::vector<std::uint8_t>& serial) const override {
    unsigned char record[RFID_SERIAL_RECORD_SIZE] = {};
    return takeSerial(searchTag(fd_, RFID_MODULE_ELATEC, record, RFID_STAGE_SEARCH), record,
                      serial);
  }
  bool needsLogin() const override { return true; }
  bool login(int block) const override {
    return MifareClassic_Login(fd_, RFID_MODULE_ELATEC, block, keySelector_);
  }
  bool read(int block, Block& data) const override {
    Block read{};
    return keepIfRead(MifareClassic_ReadBlock(fd_, RFID_MODULE_ELATEC, block, read.data()), read,
                      data);
  }
  bool write(int block, const Block& data) const override {
    Block bytes = data;
    return MifareClassic_WriteBlock(fd_, RFID_MODULE_ELATEC, block, bytes.data());
  }
  bool halt() const override { return false; }
  bool startSound(unsigned char value) const override {
    return SetBeep(fd_, RFID_MODULE_ELATEC, value);
  }
  unsigned soundRestUs() const override { return kRestAfterBeepUs; }
  int transceive(const std::uint8_t* request, int requestLength, std::uint8_t* reply,
                 int replyCapacity) const override {
    return rfidElatecTransceive(fd_, request, requestLength, reply, replyCapacity);
  }
  bool selectedCardSak(std::uint8_t& sak) const override {
    unsigned char value = 0;
    if (!rfidElatecGetSak(fd_, &value)) return false;
    sak = value;
    return true;
  }
};

}  // namespace

bool Reader::sound(unsigned char value) const {
  const bool sent = startSound(value);
  if (const unsigned rest = soundRestUs()) ::usleep(rest);
  return sent;
}

std::unique_ptr<Reader> makeReader(int fd, Model model, std::uint8_t keySelector) {
  if (model == Model::kVor) return std::make_unique<VorReader>(fd, keySelector);
  return std::make_unique<ElatecReader>(fd, keySelector);
}

}  // namespace rfid_host
