// libFuzzer target for the card-dump parsers, which read files that other
// tools (or people) wrote.
//
// Input layout: byte 0 picks the format (low 2 bits: mfd, eml, json, mct),
// the rest is the file.
//
// Besides crashes and sanitizer reports, it checks: a refused file comes
// with an error message; an image that parses writes in every format (eml
// refusing only an image with unknown parts) and reads back as what that
// format can hold.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rfid_image/image_file.h"

namespace {

using rfid_image::CardImage;
using rfid_image::Format;

constexpr Format kFormats[] = {Format::kBinary, Format::kEml, Format::kJson, Format::kMct};

// What survives a round trip through `format`.
CardImage heldBy(const CardImage& image, Format format) {
  if (format == Format::kJson) return image;
  CardImage held =
      format == Format::kMct ? image : rfid_image::imageOfMemory(rfid_image::memoryOfImage(image));
  held.uid.reset();
  held.atqa.reset();
  held.sak.reset();
  return held;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string content(data + 1, data + size);
  std::string error;
  const auto image = rfid_image::parseImage(content, kFormats[data[0] & 3], error);
  if (!image) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (const Format format : kFormats) {
    std::vector<std::string> warnings;
    const auto text = rfid_image::formatImage(*image, format, "fuzz", warnings, error);
    if (!text) {
      if (format != Format::kEml || rfid_image::describeUnknown(*image).empty()) std::abort();
      continue;
    }
    const auto back = rfid_image::parseImage(*text, format, error);
    if (!back || !(*back == heldBy(*image, format))) std::abort();
  }
  return 0;
}
