// libFuzzer target for the card-dump parsers, which read files that other
// tools (or people) wrote.
//
// Input layout: byte 0 picks the format (its value modulo 5: mfd, eml, json,
// mct, nfc), the rest is the file.
//
// Besides crashes and sanitizer reports, it checks: a refused file comes
// with an error message; an image that parses writes in every format (eml
// refusing only an image with unknown parts, nfc only one whose UID differs
// from block 0) and reads back as what that format can hold.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rfid_image/image_file.h"

namespace {

using rfid_image::CardImage;
using rfid_image::Format;

constexpr Format kFormats[] = {Format::kBinary, Format::kEml, Format::kJson, Format::kMct,
                               Format::kNfc};
constexpr std::size_t kFormatCount = sizeof kFormats / sizeof kFormats[0];

CardImage withoutCardData(CardImage image) {
  image.uid.reset();
  image.atqa.reset();
  image.sak.reset();
  return image;
}

// Whether `back`, read from the file of `image` in `format`, holds what that
// format can hold. An .nfc file also says the card's UID, ATQA and SAK,
// from block 0 and the 1K's values where the image does not know them.
bool heldBy(const CardImage& back, const CardImage& image, Format format) {
  switch (format) {
    case Format::kJson:
      return back == image;
    case Format::kMct:
      return back == withoutCardData(image);
    case Format::kNfc:
      return withoutCardData(back) == withoutCardData(image) &&
             (!image.uid || back.uid == image.uid) && (!image.atqa || back.atqa == image.atqa) &&
             (!image.sak || back.sak == image.sak);
    case Format::kBinary:
    case Format::kEml:
      break;
  }
  return back == withoutCardData(rfid_image::imageOfMemory(rfid_image::memoryOfImage(image)));
}

bool uidDiffersFromBlockZero(const CardImage& image) {
  return image.uid && image.blocks[0] &&
         !std::equal(image.uid->begin(), image.uid->end(), image.blocks[0]->begin());
}

// The one refusal each format may give for an image that parsed.
bool mayRefuse(const CardImage& image, Format format) {
  if (format == Format::kEml) return !rfid_image::describeUnknown(image).empty();
  if (format == Format::kNfc) return uidDiffersFromBlockZero(image);
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string content(data + 1, data + size);
  std::string error;
  const auto image = rfid_image::parseImage(content, kFormats[data[0] % kFormatCount], error);
  if (!image) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (const Format format : kFormats) {
    std::vector<std::string> warnings;
    const auto text = rfid_image::formatImage(*image, format, "fuzz", warnings, error);
    if (!text) {
      if (!mayRefuse(*image, format)) std::abort();
      continue;
    }
    const auto back = rfid_image::parseImage(*text, format, error);
    if (!back || !heldBy(*back, *image, format)) std::abort();
  }
  return 0;
}
