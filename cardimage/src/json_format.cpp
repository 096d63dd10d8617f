// The Proxmark3 client's JSON dump of a MIFARE Classic card ("mfc v2", and
// the older "mfcard" with the same layout).
#include <nlohmann/json.hpp>

#include "formats.h"

namespace rfid_image::formats {
namespace {

using Json = nlohmann::json;

const char kFileType[] = "mfc v2";
const char kOldFileType[] = "mfcard";
constexpr std::size_t kUidSizes[] = {4, 7, 10};

std::string named(const std::string& key) {
  return "\"" + key + "\"";
}

// "line L, column C" of a byte offset, for a syntax error.
std::string position(const std::string& text, std::size_t offset) {
  offset = std::min(offset, text.size());
  int line = 1;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart);
}

class Reader {
 public:
  std::string error;

  bool fail(const std::string& where, const std::string& message) {
    error = where + ": " + message;
    return false;
  }
  // An object at `key` of `parent`; absent is fine unless `required`.
  bool object(const Json& parent, const char* key, const std::string& where, bool required,
              const Json*& out) {
    out = nullptr;
    const auto found = parent.find(key);
    if (found == parent.end()) return !required || fail(where, "missing");
    if (!found->is_object()) return fail(where, "expected an object");
    out = &*found;
    return true;
  }
  // 2 * N hex digits at `key` of `parent`, or nothing when absent.
  template <std::size_t N>
  bool hex(const Json& parent, const char* key, const std::string& where,
           std::optional<std::array<std::uint8_t, N>>& out) {
    const auto found = parent.find(key);
    if (found == parent.end()) return true;
    if (found->is_string()) out = parseHex<N>(found->get<std::string>());
    return out || fail(where, "expected a string of " + std::to_string(2 * N) + " hex digits");
  }

  bool card(const Json& root, CardImage& image) {
    const Json* card = nullptr;
    if (!object(root, "Card", named("Card"), false, card) || card == nullptr) return error.empty();
    if (const auto uid = card->find("UID"); uid != card->end()) {
      const std::string where = named("Card") + "." + named("UID");
      const std::string text = uid->is_string() ? uid->get<std::string>() : std::string();
      std::vector<std::uint8_t> bytes(text.size() / 2);
      const bool sized = std::find(std::begin(kUidSizes), std::end(kUidSizes), bytes.size()) !=
                         std::end(kUidSizes);
      if (!sized || !parseHex(text, bytes.data(), bytes.size())) {
        return fail(where, "expected 8, 14 or 20 hex digits");
      }
      image.uid = bytes;
    }
    std::optional<std::array<std::uint8_t, 1>> sak;
    if (!hex(*card, "ATQA", named("Card") + "." + named("ATQA"), image.atqa) ||
        !hex(*card, "SAK", named("Card") + "." + named("SAK"), sak)) {
      return false;
    }
    if (sak) image.sak = (*sak)[0];
    return true;
  }

  bool blocks(const Json& root, CardImage& image) {
    const Json* blocks = nullptr;
    if (!object(root, "blocks", named("blocks"), true, blocks)) return false;
    for (const auto& [key, value] : blocks->items()) {
      const std::string where = named("blocks") + "." + named(key);
      const auto block = rfid_hex::smallDecimal(key, kBlockCount, false);
      if (!block) return fail(where, "a block number is 0 to 63 (a MIFARE Classic 1K card)");
      auto& stored = image.blocks[static_cast<std::size_t>(*block)];
      if (value.is_string()) stored = parseHex<kBlockSize>(value.get<std::string>());
      if (!stored) return fail(where, "expected a string of 32 hex digits");
    }
    return true;
  }

  // Keys from "SectorKeys" where a sector has an entry, else from its
  // trailer in "blocks"; access bits from either, which must agree.
  bool sectorKeys(const Json& root, CardImage& image) {
    const Json* sectors = nullptr;
    if (!object(root, "SectorKeys", named("SectorKeys"), false, sectors)) return false;
    std::array<const Json*, kSectorCount> entries{};
    if (sectors != nullptr) {
      for (const auto& [key, value] : sectors->items()) {
        const std::string where = named("SectorKeys") + "." + named(key);
        const auto sector = rfid_hex::smallDecimal(key, kSectorCount, false);
        if (!sector) return fail(where, "a sector number is 0 to 15 (a MIFARE Classic 1K card)");
        if (!value.is_object()) return fail(where, "expected an object");
        entries[static_cast<std::size_t>(*sector)] = &value;
      }
    }
    for (int sector = 0; sector < kSectorCount; ++sector) {
      const auto at = static_cast<std::size_t>(sector);
      auto& trailer = image.blocks[static_cast<std::size_t>(trailerOf(sector))];
      if (entries[at] == nullptr) {
        if (!trailer) continue;
        image.keyA[at] = Key{};
        image.keyB[at] = Key{};
        std::copy_n(trailer->begin() + kKeyAOffset, kKeySize, image.keyA[at]->begin());
        std::copy_n(trailer->begin() + kKeyBOffset, kKeySize, image.keyB[at]->begin());
        continue;
      }
      const std::string where = named("SectorKeys") + "." + named(std::to_string(sector)) + ".";
      std::optional<std::array<std::uint8_t, kAccessSize>> access;
      if (!hex(*entries[at], "KeyA", where + named("KeyA"), image.keyA[at]) ||
          !hex(*entries[at], "KeyB", where + named("KeyB"), image.keyB[at]) ||
          !hex(*entries[at], "AccessConditions", where + named("AccessConditions"), access)) {
        return false;
      }
      if (!access) continue;
      if (!trailer)
        trailer = Block{};
      else if (!std::equal(access->begin(), access->end(), trailer->begin() + kAccessOffset)) {
        return fail(where + named("AccessConditions"),
                    "differs from bytes 6 to 9 of block " + std::to_string(trailerOf(sector)));
      }
      std::copy(access->begin(), access->end(), trailer->begin() + kAccessOffset);
    }
    return true;
  }
};

}  // namespace

std::optional<CardImage> parseJson(const std::string& text, std::string& error) {
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::parse_error& fault) {
    // The library's own message quotes the text, which may hold keys.
    error = position(text, fault.byte) + ": not valid JSON";
    return std::nullopt;
  } catch (const Json::exception&) {
    error = "the file: not valid JSON (a number out of range)";
    return std::nullopt;
  }
  Reader reader;
  CardImage image;
  const auto fileType = root.is_object() ? root.find("FileType") : root.end();
  if (!root.is_object()) {
    reader.fail("the file", "expected a JSON object");
  } else if (fileType == root.end()) {
    reader.fail(named("FileType"), "missing: not a Proxmark3 MIFARE Classic dump");
  } else if (*fileType != kFileType && *fileType != kOldFileType) {
    reader.fail(named("FileType"), "expected \"mfc v2\" or \"mfcard\" (a MIFARE Classic dump)");
  } else if (reader.card(root, image) && reader.blocks(root, image)) {
    reader.sectorKeys(root, image);
  }
  error = reader.error;
  if (!error.empty()) return std::nullopt;
  return image;
}

std::string formatJson(const CardImage& image, const std::string& creator) {
  nlohmann::ordered_json root;
  root["Created"] = creator;
  root["FileType"] = kFileType;
  auto& card = root["Card"] = nlohmann::ordered_json::object();
  if (image.uid) card["UID"] = toHex(image.uid->data(), image.uid->size());
  if (image.atqa) card["ATQA"] = toHex(*image.atqa);
  if (image.sak) card["SAK"] = toHex(&*image.sak, 1);
  auto& blocks = root["blocks"] = nlohmann::ordered_json::object();
  for (int block = 0; block < kBlockCount; ++block) {
    const auto& stored = image.blocks[static_cast<std::size_t>(block)];
    if (!stored) continue;
    blocks[std::to_string(block)] =
        toHex(isSectorTrailer(block) ? image.trailer(sectorOf(block)) : *stored);
  }
  auto& sectors = root["SectorKeys"] = nlohmann::ordered_json::object();
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const auto at = static_cast<std::size_t>(sector);
    const auto& trailer = image.blocks[static_cast<std::size_t>(trailerOf(sector))];
    if (!image.keyA[at] && !image.keyB[at] && !trailer) continue;
    auto& entry = sectors[std::to_string(sector)] = nlohmann::ordered_json::object();
    if (image.keyA[at]) entry["KeyA"] = toHex(*image.keyA[at]);
    if (image.keyB[at]) entry["KeyB"] = toHex(*image.keyB[at]);
    if (trailer) entry["AccessConditions"] = toHex(trailer->data() + kAccessOffset, kAccessSize);
  }
  return root.dump(2) + "\n";
}

}  // namespace rfid_image::formats
