#include "rfid_image/card_image.h"

#include <algorithm>

namespace rfid_image {
namespace {

constexpr AccessConditions kTransportConditions = {0, 0, 0, 1};
constexpr std::uint8_t kTransportGeneralPurpose = 0x69;

std::ptrdiff_t offsetOf(int block) {
  return static_cast<std::ptrdiff_t>(block) * static_cast<std::ptrdiff_t>(kBlockSize);
}

// "8-11, 20" from the sorted numbers 8 9 10 11 20.
std::string ranges(const std::vector<int>& numbers) {
  std::string text;
  for (std::size_t i = 0; i < numbers.size();) {
    std::size_t last = i;
    while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1) ++last;
    if (!text.empty()) text += ", ";
    text += std::to_string(numbers[i]);
    if (last > i) text += "-" + std::to_string(numbers[last]);
    i = last + 1;
  }
  return text;
}

std::string listed(const char* one, const char* many, const std::vector<int>& numbers) {
  return std::string(numbers.size() == 1 ? one : many) + " " + ranges(numbers);
}

}  // namespace

std::optional<AccessConditions> decodeAccessBits(const std::uint8_t* bytes) {
  const unsigned c1 = bytes[1] >> 4;
  const unsigned c2 = bytes[2] & 0x0Fu;
  const unsigned c3 = bytes[2] >> 4;
  const bool consistent = (bytes[0] & 0x0Fu) == (~c1 & 0x0Fu) && (bytes[0] >> 4) == (~c2 & 0x0Fu) &&
                          (bytes[1] & 0x0Fu) == (~c3 & 0x0Fu);
  if (!consistent) return std::nullopt;
  AccessConditions conditions{};
  for (int i = 0; i < kBlocksPerSector; ++i) {
    conditions[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(
        (((c1 >> i) & 1u) << 2) | (((c2 >> i) & 1u) << 1) | ((c3 >> i) & 1u));
  }
  return conditions;
}

std::array<std::uint8_t, 3> encodeAccessBits(const AccessConditions& conditions) {
  unsigned c1 = 0;
  unsigned c2 = 0;
  unsigned c3 = 0;
  for (int i = 0; i < kBlocksPerSector; ++i) {
    const unsigned condition = conditions[static_cast<std::size_t>(i)];
    c1 |= ((condition >> 2) & 1u) << i;
    c2 |= ((condition >> 1) & 1u) << i;
    c3 |= (condition & 1u) << i;
  }
  return {static_cast<std::uint8_t>(((~c2 & 0x0Fu) << 4) | (~c1 & 0x0Fu)),
          static_cast<std::uint8_t>((c1 << 4) | (~c3 & 0x0Fu)),
          static_cast<std::uint8_t>((c3 << 4) | c2)};
}

Block transportTrailer() {
  Block trailer{};
  std::fill_n(trailer.begin() + kKeyAOffset, kKeySize, 0xFF);
  const auto access = encodeAccessBits(kTransportConditions);
  std::copy(access.begin(), access.end(), trailer.begin() + kAccessOffset);
  trailer[kAccessOffset + 3] = kTransportGeneralPurpose;
  std::fill_n(trailer.begin() + kKeyBOffset, kKeySize, 0xFF);
  return trailer;
}

Block manufacturerBlock(const std::array<std::uint8_t, 4>& uid) {
  Block block{};
  std::copy(uid.begin(), uid.end(), block.begin());
  block[4] = static_cast<std::uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]);
  block[5] = kClassicSak;
  block[6] = kClassicAtqa[0];
  block[7] = kClassicAtqa[1];
  return block;
}

Block CardImage::trailer(int sector) const {
  Block out{};
  if (const auto& stored = blocks[static_cast<std::size_t>(trailerOf(sector))]) {
    std::copy_n(stored->begin() + kAccessOffset, kAccessSize, out.begin() + kAccessOffset);
  }
  const auto at = static_cast<std::size_t>(sector);
  if (keyA[at]) std::copy(keyA[at]->begin(), keyA[at]->end(), out.begin() + kKeyAOffset);
  if (keyB[at]) std::copy(keyB[at]->begin(), keyB[at]->end(), out.begin() + kKeyBOffset);
  return out;
}

bool CardImage::complete(int block) const {
  const auto sector = static_cast<std::size_t>(sectorOf(block));
  return blocks[static_cast<std::size_t>(block)].has_value() &&
         (!isSectorTrailer(block) || (keyA[sector] && keyB[sector]));
}

bool operator==(const CardImage& a, const CardImage& b) {
  for (int block = 0; block < kBlockCount; ++block) {
    const auto& left = a.blocks[static_cast<std::size_t>(block)];
    const auto& right = b.blocks[static_cast<std::size_t>(block)];
    if (left.has_value() != right.has_value()) return false;
    if (!left) continue;
    const bool same = isSectorTrailer(block)
                          ? a.trailer(sectorOf(block)) == b.trailer(sectorOf(block))
                          : *left == *right;
    if (!same) return false;
  }
  return a.keyA == b.keyA && a.keyB == b.keyB && a.uid == b.uid && a.atqa == b.atqa &&
         a.sak == b.sak;
}

CardImage imageOfMemory(const Memory& memory) {
  CardImage image;
  for (int block = 0; block < kBlockCount; ++block) {
    Block data{};
    std::copy_n(memory.begin() + offsetOf(block), kBlockSize, data.begin());
    image.blocks[static_cast<std::size_t>(block)] = data;
    if (!isSectorTrailer(block)) continue;
    const auto sector = static_cast<std::size_t>(sectorOf(block));
    Key key{};
    std::copy_n(data.begin() + kKeyAOffset, kKeySize, key.begin());
    image.keyA[sector] = key;
    std::copy_n(data.begin() + kKeyBOffset, kKeySize, key.begin());
    image.keyB[sector] = key;
  }
  return image;
}

Memory memoryOfImage(const CardImage& image) {
  Memory memory{};
  for (int block = 0; block < kBlockCount; ++block) {
    const auto& stored = image.blocks[static_cast<std::size_t>(block)];
    const Block data =
        isSectorTrailer(block) ? image.trailer(sectorOf(block)) : stored.value_or(Block{});
    std::copy(data.begin(), data.end(), memory.begin() + offsetOf(block));
  }
  return memory;
}

CardImage blankImage(const std::array<std::uint8_t, 4>& uid) {
  CardImage image = withFactoryDefaults(CardImage{}, uid);
  image.uid = std::vector<std::uint8_t>(uid.begin(), uid.end());
  image.atqa = kClassicAtqa;
  image.sak = kClassicSak;
  return image;
}

CardImage withFactoryDefaults(const CardImage& image,
                              const std::array<std::uint8_t, 4>& uidIfUnknown) {
  CardImage filled = image;
  const Block transport = transportTrailer();
  Key factoryKey{};
  std::copy_n(transport.begin() + kKeyAOffset, kKeySize, factoryKey.begin());
  std::array<std::uint8_t, 4> uid = uidIfUnknown;
  if (image.uid && image.uid->size() == uid.size()) std::copy_n(image.uid->begin(), 4, uid.begin());
  for (int block = 0; block < kBlockCount; ++block) {
    auto& stored = filled.blocks[static_cast<std::size_t>(block)];
    if (stored) continue;
    stored = block == 0 ? manufacturerBlock(uid) : isSectorTrailer(block) ? transport : Block{};
  }
  for (int sector = 0; sector < kSectorCount; ++sector) {
    const auto at = static_cast<std::size_t>(sector);
    if (!filled.keyA[at]) filled.keyA[at] = factoryKey;
    if (!filled.keyB[at]) filled.keyB[at] = factoryKey;
  }
  return filled;
}

std::string describeUnknown(const CardImage& image) {
  std::vector<int> blocks;
  std::vector<int> keyA;
  std::vector<int> keyB;
  for (int block = 0; block < kBlockCount; ++block) {
    if (!image.blocks[static_cast<std::size_t>(block)]) blocks.push_back(block);
  }
  for (int sector = 0; sector < kSectorCount; ++sector) {
    if (!image.keyA[static_cast<std::size_t>(sector)]) keyA.push_back(sector);
    if (!image.keyB[static_cast<std::size_t>(sector)]) keyB.push_back(sector);
  }
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
  if (!blocks.empty()) add(listed("block", "blocks", blocks));
  if (!keyA.empty()) add("key A of " + listed("sector", "sectors", keyA));
  if (!keyB.empty()) add("key B of " + listed("sector", "sectors", keyB));
  return text;
}

}  // namespace rfid_image
