#include "card_commands.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "Module_RFID.h"
#include "rfid_image/image_file.h"

namespace rfid_tools {
namespace {

using rfid_image::CardImage;
using rfid_image::isSectorTrailer;
using rfid_image::kBlockCount;
using rfid_image::kBlocksPerSector;
using rfid_image::kSectorCount;
using rfid_image::sectorOf;
using rfid_image::trailerOf;

constexpr int kTrailerIndex = kBlocksPerSector - 1;

// A card in the field as a host must handle it: any refusal leaves the card
// idle until it is identified again, and on the Elatec reader block access
// needs a login to the block's sector.
class CardSession {
 public:
  enum class Opened { kYes, kRefused, kCardGone };

  explicit CardSession(const ReaderHost& host) : host_(host) {}

  // Identifies the card in the field and puts its serial number in the
  // JSON object; false when no card answered.
  bool start(Console& console) {
    idle_ = false;
    loggedIn_ = -1;
    if (!host_.identify(serial_)) return false;
    console.json["serial"] = toHex(serial_);
    return true;
  }
  const std::vector<std::uint8_t>& serial() const { return serial_; }
  // Ready for the blocks of `sector` with the module's key for it.
  Opened open(int sector) {
    if (idle_) {
      std::vector<std::uint8_t> serial;
      if (!host_.identify(serial)) return Opened::kCardGone;
      idle_ = false;
    }
    if (!host_.needsLogin() || loggedIn_ == sector) return Opened::kYes;
    if (!host_.login(sector * kBlocksPerSector)) return refused(Opened::kRefused);
    loggedIn_ = sector;
    return Opened::kYes;
  }
  bool read(int block, Block& data) { return host_.read(block, data) || refused(false); }
  bool write(int block, const Block& data) { return host_.write(block, data) || refused(false); }
  // After a sector's key changed: the next access logs in again.
  void forgetLogin() { loggedIn_ = -1; }

 private:
  template <typename Result>
  Result refused(Result result) {
    idle_ = true;
    loggedIn_ = -1;
    return result;
  }

  const ReaderHost& host_;
  std::vector<std::uint8_t> serial_;
  bool idle_ = false;
  int loggedIn_ = -1;
};

rfid_image::Key moduleKey(int sector) {
  rfid_image::Key key{};
  std::memcpy(key.data(), sectorKeyA[sector], key.size());
  return key;
}

void setModuleKey(int sector, const rfid_image::Key& key) {
  std::memcpy(sectorKeyA[sector], key.data(), key.size());
}

// "3, 8, 9" for a person.
std::string blockList(const std::vector<int>& blocks) {
  std::string text;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    text += (i > 0 ? ", " : "") + std::to_string(blocks[i]);
  }
  return text;
}

rfid_image::Format formatOf(const Options& options, const std::string& path) {
  return options.format.value_or(rfid_image::formatForPath(path));
}

const char* const kCardLeft =
    "the card left the field: hold it on the reader and run the command again";

// ---- dump ----------------------------------------------------------------------

// What a read of a sector's blocks tells of its keys. The card never shows
// key A: the key that opened the sector is the key of the selector used.
// Key A reads key B back where the trailer's access bits let it.
void learnKeys(int sector, int keySelector, CardImage& image) {
  const auto at = static_cast<std::size_t>(sector);
  if (keySelector == 1) {
    image.keyB[at] = moduleKey(sector);
    return;
  }
  if (keySelector != 0) return;
  image.keyA[at] = moduleKey(sector);
  const auto& trailer = image.blocks[static_cast<std::size_t>(trailerOf(sector))];
  if (!trailer) return;
  const auto conditions = rfid_image::decodeAccessBits(trailer->data() + rfid_image::kAccessOffset);
  if (conditions && rfid_image::keyBIsReadable((*conditions)[kTrailerIndex])) {
    image.keyB[at] = rfid_image::Key{};
    std::copy_n(trailer->begin() + rfid_image::kKeyBOffset, rfid_image::kKeySize,
                image.keyB[at]->begin());
  }
}

// Reads every block, sector by sector; false when the card left the field.
// A refused login skips the sector, a refused read only the block.
bool readCard(CardSession& session, Console& console, int keySelector, CardImage& image,
              int& refused) {
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const int first = sector * kBlocksPerSector;
    bool opened = false;
    for (int block = first; block < first + kBlocksPerSector; ++block) {
      console.progress("dump: block " + std::to_string(block + 1) + "/64");
      const CardSession::Opened access = session.open(sector);
      if (access == CardSession::Opened::kCardGone) return false;
      if (access == CardSession::Opened::kRefused) {
        refused += first + kBlocksPerSector - block;
        break;
      }
      Block data{};
      if (session.read(block, data)) {
        image.blocks[static_cast<std::size_t>(block)] = data;
        opened = true;
      } else {
        ++refused;
      }
    }
    if (opened) learnKeys(sector, keySelector, image);
  }
  console.endProgress();
  return true;
}

// The table for a person and the blocks for --json; a trailer shows the
// keys the dump knows and zeros for the others.
void showCard(Console& console, const CardImage& image) {
  JsonObject blocks = JsonObject::array();
  for (int block = 0; block < kBlockCount; ++block) {
    const auto& stored = image.blocks[static_cast<std::size_t>(block)];
    const char* mark = isSectorTrailer(block) ? "  trailer" : "";
    if (!stored) {
      console.say("%2d  -- refused --%s", block, mark);
      blocks.push_back(nullptr);
      continue;
    }
    const Block data = isSectorTrailer(block) ? image.trailer(sectorOf(block)) : *stored;
    console.say("%2d  %s%s", block, formatBlock(data).c_str(), mark);
    blocks.push_back(toHex(data.data(), data.size()));
  }
  console.json["blocks"] = std::move(blocks);
}

int saveImage(Console& console, const CardImage& image, const std::string& path,
              rfid_image::Format format) {
  std::vector<std::string> warnings;
  std::string error;
  if (!rfid_image::writeImageFile(path, image, format, "rfidctl", warnings, error)) {
    return console.fail(kExitUsage, "cannot save the dump: " + error);
  }
  for (const std::string& warning : warnings) console.warn(path + ": " + warning);
  console.json["saved"] = path;
  console.json["format"] = rfid_image::formatName(format);
  console.say("Saved %s (%s).", path.c_str(), rfid_image::formatName(format));
  return kExitOk;
}

// ---- keys ----------------------------------------------------------------------

// "1m05s" or "40s".
std::string duration(double seconds) {
  const long whole = static_cast<long>(seconds + 0.5);
  return whole >= 60 ? std::to_string(whole / 60) + "m" + (whole % 60 < 10 ? "0" : "") +
                           std::to_string(whole % 60) + "s"
                     : std::to_string(whole) + "s";
}

// Every try is at least one half-second exchange, and a refusal costs an
// identification more; until tries have been timed, a second each.
class KeySearchProgress {
 public:
  explicit KeySearchProgress(std::size_t keys) : keys_(keys), start_(Clock::now()) {}

  std::string line(int sector, std::size_t key) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double perTry = tries_ > 0 ? elapsed / static_cast<double>(tries_) : kFirstGuessSeconds;
    const std::size_t left =
        (keys_ - key) + keys_ * static_cast<std::size_t>(kSectorCount - 1 - sector);
    ++tries_;
    return "keys: sector " + std::to_string(sector + 1) + "/16, key " + std::to_string(key + 1) +
           "/" + std::to_string(keys_) + ", at most " +
           duration(perTry * static_cast<double>(left)) + " left";
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr double kFirstGuessSeconds = 1.0;
  std::size_t keys_;
  Clock::time_point start_;
  std::size_t tries_ = 0;
};

// Whether the module's key for `sector` opens it: a login on the Elatec
// reader, a read of the sector's first block on the vor reader.
CardSession::Opened tryKey(const ReaderHost& host, CardSession& session, int sector) {
  const CardSession::Opened access = session.open(sector);
  if (access != CardSession::Opened::kYes || host.needsLogin()) return access;
  Block data{};
  return session.read(sector * kBlocksPerSector, data) ? access : CardSession::Opened::kRefused;
}

// ---- restore -------------------------------------------------------------------

// Every trailer that --with-trailers would write: all of it known, and
// access bits that do not lock the sector.
std::optional<std::string> checkTrailers(const CardImage& image) {
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const int trailer = trailerOf(sector);
    if (!image.complete(trailer)) {
      return "the image does not know all of block " + std::to_string(trailer) +
             " (the trailer of sector " + std::to_string(sector) +
             ": key A, access bits, key B); restore without --with-trailers";
    }
    if (!rfid_image::decodeAccessBits(image.trailer(sector).data() + rfid_image::kAccessOffset)) {
      return "block " + std::to_string(trailer) +
             " of the image has malformed access bits, which would lock sector " +
             std::to_string(sector) + " for good";
    }
  }
  return std::nullopt;
}

// The blocks to write, sector by sector, each trailer after its sector's
// data; block 0 is read-only on a MIFARE Classic card.
std::vector<int> plannedBlocks(const CardImage& image, bool withTrailers,
                               std::vector<int>& unknown) {
  std::vector<int> planned;
  for (int block = 1; block < kBlockCount; ++block) {
    if (isSectorTrailer(block)) {
      if (withTrailers) planned.push_back(block);
    } else if (image.blocks[static_cast<std::size_t>(block)]) {
      planned.push_back(block);
    } else {
      unknown.push_back(block);
    }
  }
  return planned;
}

Block imageBlock(const CardImage& image, int block) {
  return isSectorTrailer(block) ? image.trailer(sectorOf(block))
                                : *image.blocks[static_cast<std::size_t>(block)];
}

// A trailer reads back without its keys (the login checks those), so only
// its access bytes are compared.
bool readsBackTheSame(int block, const Block& expected, const Block& read) {
  if (!isSectorTrailer(block)) return expected == read;
  const auto from = static_cast<std::ptrdiff_t>(rfid_image::kAccessOffset);
  const auto to = from + static_cast<std::ptrdiff_t>(rfid_image::kAccessSize);
  return std::equal(expected.begin() + from, expected.begin() + to, read.begin() + from);
}

struct RestoreOutcome {
  std::vector<int> refused;
  std::vector<int> differ;
};

// Writes the planned blocks; false when the card left the field. After a
// trailer is written, the module's key for its sector is the new one.
bool writeBlocks(CardSession& session, Console& console, const CardImage& image,
                 const std::vector<int>& planned, int keySelector, RestoreOutcome& outcome) {
  for (std::size_t i = 0; i < planned.size(); ++i) {
    const int block = planned[i];
    console.progress("restore: writing block " + std::to_string(block) + " (" +
                     std::to_string(i + 1) + "/" + std::to_string(planned.size()) + ")");
    const CardSession::Opened access = session.open(sectorOf(block));
    if (access == CardSession::Opened::kCardGone) return false;
    if (access != CardSession::Opened::kYes || !session.write(block, imageBlock(image, block))) {
      outcome.refused.push_back(block);
      continue;
    }
    const auto sector = static_cast<std::size_t>(sectorOf(block));
    if (isSectorTrailer(block) && (keySelector == 0 || keySelector == 1)) {
      setModuleKey(sectorOf(block), keySelector == 0 ? *image.keyA[sector] : *image.keyB[sector]);
      session.forgetLogin();
    }
  }
  return true;
}

bool readBack(CardSession& session, Console& console, const CardImage& image,
              const std::vector<int>& planned, RestoreOutcome& outcome) {
  for (const int block : planned) {
    if (std::find(outcome.refused.begin(), outcome.refused.end(), block) != outcome.refused.end()) {
      continue;
    }
    console.progress("restore: reading back block " + std::to_string(block));
    const CardSession::Opened access = session.open(sectorOf(block));
    if (access == CardSession::Opened::kCardGone) return false;
    Block data{};
    if (access != CardSession::Opened::kYes || !session.read(block, data) ||
        !readsBackTheSame(block, imageBlock(image, block), data)) {
      outcome.differ.push_back(block);
    }
  }
  return true;
}

}  // namespace

int dumpCard(const ReaderHost& host, Console& console, const Options& options) {
  CardSession session(host);
  if (!session.start(console)) return console.fail(kExitFailed, kNoCard);
  CardImage image;
  image.uid = session.serial();
  int refused = 0;
  if (!readCard(session, console, options.keySelector, image, refused)) {
    return console.fail(kExitFailed, kCardLeft);
  }
  showCard(console, image);
  console.json["refused"] = refused;
  if (!options.savePath.empty()) {
    const int code =
        saveImage(console, image, options.savePath, formatOf(options, options.savePath));
    if (code != kExitOk) return code;
  }
  if (refused > 0) {
    return console.fail(kExitFailed, std::to_string(refused) +
                                         " of 64 blocks were refused: check the keys (--key, "
                                         "--keys, --sector-key) and the key selector");
  }
  return kExitOk;
}

namespace {

// A .bin file gets the Proxmark3's layout, the keys found in the half of
// the selector used; the keys it does not know are written as FF..FF, with
// a warning as a dump gives for unknown keys.
std::optional<std::string> saveKeys(Console& console, const Options& options,
                                    const rfid_keys::SectorKeys& found) {
  const std::string& path = options.saveKeysPath;
  if (!rfid_keys::isBinaryKeyFileName(path)) return rfid_keys::writeKeyFile(path, found);
  CardImage known;
  known.blocks.fill(rfid_image::Block{});
  (options.keySelector == 0 ? known.keyA : known.keyB) = found;
  const std::string unknown = rfid_image::describeUnknown(known);
  if (!unknown.empty()) console.warn(path + ": " + unknown + " unknown: written as FFFFFFFFFFFF");
  return rfid_keys::writeBinaryKeyFile(path, known.keyA, known.keyB);
}

}  // namespace

int findKeys(const ReaderHost& host, Console& console, const Options& options) {
  CardSession session(host);
  if (!session.start(console)) return console.fail(kExitFailed, kNoCard);
  const std::vector<rfid_keys::Key>& dictionary = options.dictionary;
  KeySearchProgress progress(dictionary.size());
  rfid_keys::SectorKeys found;
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const rfid_image::Key before = moduleKey(sector);
    for (std::size_t i = 0; i < dictionary.size() && !found[sector]; ++i) {
      console.progress(progress.line(sector, i));
      setModuleKey(sector, dictionary[i]);
      const CardSession::Opened access = tryKey(host, session, sector);
      if (access == CardSession::Opened::kCardGone) return console.fail(kExitFailed, kCardLeft);
      if (access == CardSession::Opened::kYes) found[sector] = dictionary[i];
    }
    if (!found[sector]) setModuleKey(sector, before);
  }
  console.endProgress();

  JsonObject keys = JsonObject::object();
  std::vector<int> missing;
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const auto& key = found[static_cast<std::size_t>(sector)];
    const std::string text = key ? toHex(key->data(), key->size()) : "none";
    console.say("%2d  %s", sector, text.c_str());
    keys[std::to_string(sector)] = key ? JsonObject(text) : JsonObject(nullptr);
    if (!key) missing.push_back(sector);
  }
  console.json["keys"] = std::move(keys);
  if (!options.saveKeysPath.empty()) {
    if (const auto fault = saveKeys(console, options, found)) {
      return console.fail(kExitUsage, "cannot save the keys: " + *fault);
    }
    console.json["saved"] = options.saveKeysPath;
    console.say("Saved the keys found to %s.", options.saveKeysPath.c_str());
  }
  if (!missing.empty()) {
    return console.fail(kExitFailed, "no key of the dictionary opens sector(s) " +
                                         blockList(missing) +
                                         ": try a longer dictionary or the other key selector");
  }
  return kExitOk;
}

int restoreCard(const ReaderHost& host, Console& console, const Options& options) {
  std::string error;
  const auto image =
      rfid_image::readImageFile(options.imagePath, formatOf(options, options.imagePath), error);
  if (!image) return console.fail(kExitUsage, "cannot restore: " + error);
  if (options.withTrailers) {
    if (const auto fault = checkTrailers(*image)) {
      return console.fail(kExitUsage, "not restoring: " + *fault);
    }
  }
  std::vector<int> unknown;
  const std::vector<int> planned = plannedBlocks(*image, options.withTrailers, unknown);
  if (!unknown.empty()) {
    console.warn("blocks " + blockList(unknown) + " are unknown in the image and stay as they are");
  }
  console.json["planned"] = planned;
  if (options.dryRun) {
    for (const int block : planned) {
      console.say("would write %2d  %s", block, formatBlock(imageBlock(*image, block)).c_str());
    }
    return kExitOk;
  }

  CardSession session(host);
  if (!session.start(console)) return console.fail(kExitFailed, kNoCard);
  RestoreOutcome outcome;
  if (!writeBlocks(session, console, *image, planned, options.keySelector, outcome) ||
      !readBack(session, console, *image, planned, outcome)) {
    return console.fail(kExitFailed, kCardLeft);
  }
  console.endProgress();
  console.json["refused"] = outcome.refused;
  console.json["differ"] = outcome.differ;
  console.say("Wrote %zu of %zu blocks; %zu read back different.",
              planned.size() - outcome.refused.size(), planned.size(), outcome.differ.size());
  if (outcome.refused.empty() && outcome.differ.empty()) return kExitOk;
  std::string message;
  if (!outcome.refused.empty()) message = "the card refused block(s) " + blockList(outcome.refused);
  if (!outcome.differ.empty()) {
    message += (message.empty() ? "" : "; ") + std::string("block(s) ") +
               blockList(outcome.differ) + " read back different or not at all";
  }
  return console.fail(
      kExitFailed, message + ": check the keys (--key, --keys, --sector-key) and the access bits");
}

}  // namespace rfid_tools
