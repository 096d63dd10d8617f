#include "host.h"

#include <cstring>

#include "Module_RFID.h"

namespace rfid_tools {
std::optional<Model> modelFromName(const std::string& name) {
  if (name == "vor") return Model::kVor;
  if (name == "elatec") return Model::kElatec;
  return std::nullopt;
}

const char* modelName(Model model) {
  return model == Model::kVor ? "vor" : "elatec";
}

bool ReaderHost::identify(std::vector<std::uint8_t>& serial) const {
  unsigned char record[kSerialRecordSize] = {};
  const bool found = model_ == Model::kVor ? getRequestCardSN(fd_, kModuleVor, record)
                                           : searchTag(fd_, kModuleElatec, record, kSearchStage);
  // A found card with a serial length the module does not know gives no record.
  if (!found || (record[0] != 4 && record[0] != 7)) return false;
  serial.assign(record + 1, record + 1 + record[0]);
  return true;
}

bool ReaderHost::login(int block) const {
  if (!needsLogin()) return true;
  return MifareClassic_Login(fd_, kModuleElatec, block, keySelector_);
}

bool ReaderHost::read(int block, Block& data) const {
  unsigned char bytes[kBlockSize] = {};
  const bool ok = model_ == Model::kVor ? getBlockRead(fd_, kModuleVor, block, keySelector_, bytes)
                                        : MifareClassic_ReadBlock(fd_, kModuleElatec, block, bytes);
  if (ok) std::memcpy(data.data(), bytes, data.size());
  return ok;
}

bool ReaderHost::write(int block, const Block& data) const {
  unsigned char bytes[kBlockSize];
  std::memcpy(bytes, data.data(), sizeof bytes);
  return model_ == Model::kVor ? setBlockWrite(fd_, kModuleVor, block, keySelector_, bytes)
                               : MifareClassic_WriteBlock(fd_, kModuleElatec, block, bytes);
}

std::string formatBlock(const Block& data) {
  std::string line = rfid_hex::toHex(data.data(), data.size(), " ") + "  |";
  for (const std::uint8_t byte : data) {
    line += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  }
  return line + "|";
}

}  // namespace rfid_tools
