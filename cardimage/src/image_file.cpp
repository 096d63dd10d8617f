#include "rfid_image/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "formats.h"
#include "rfid_names/name_table.h"
#include "rfid_serial/unique_fd.h"

namespace rfid_image {
namespace {

// Far above any 1K card's file in any format; keeps a wrong file (a disk
// image, a log) from being read whole.
constexpr std::size_t kMaxFileSize = 1 << 20;

// The first name of a format is the one it is written under; "bin" is
// read as well.
constexpr rfid_names::Named<Format> kFormatNames[] = {
    {Format::kBinary, "mfd"}, {Format::kBinary, "bin"}, {Format::kEml, "eml"},
    {Format::kJson, "json"},  {Format::kMct, "mct"},    {Format::kNfc, "nfc"}};

std::optional<CardImage> parseBinary(const std::string& content, std::string& error) {
  if (content.size() != kMemorySize) {
    error =
        "holds " + std::to_string(content.size()) + " bytes: a MIFARE Classic 1K dump holds 1024";
    return std::nullopt;
  }
  Memory memory{};
  std::copy(content.begin(), content.end(), memory.begin());
  return imageOfMemory(memory);
}

bool writeAll(int fd, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t put = ::write(fd, content.data() + written, content.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

std::optional<Format> formatFromName(const std::string& name) {
  return rfid_names::valueNamed(kFormatNames, name);
}

std::optional<Format> formatFromPath(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  const std::size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return formatFromName(extension);
}

const char* formatName(Format format) {
  return rfid_names::nameOf(kFormatNames, format, "mfd");
}

Format formatForPath(const std::string& path) {
  return formatFromPath(path).value_or(Format::kBinary);
}

std::optional<CardImage> parseImage(const std::string& content, Format format, std::string& error) {
  switch (format) {
    case Format::kBinary:
      return parseBinary(content, error);
    case Format::kEml:
      return formats::parseEml(content, error);
    case Format::kJson:
      return formats::parseJson(content, error);
    case Format::kMct:
      return formats::parseMct(content, error);
    case Format::kNfc:
      return formats::parseFlipper(content, error);
  }
  error = "unknown format";
  return std::nullopt;
}

std::optional<std::string> formatImage(const CardImage& image, Format format,
                                       const std::string& creator,
                                       std::vector<std::string>& warnings, std::string& error) {
  const std::string unknown = describeUnknown(image);
  switch (format) {
    case Format::kBinary: {
      if (!unknown.empty()) warnings.push_back(unknown + " unknown: written as zeros");
      const Memory memory = memoryOfImage(image);
      return std::string(memory.begin(), memory.end());
    }
    case Format::kEml:
      if (!unknown.empty()) {
        error = unknown + " unknown, which .eml cannot mark: save as .mct or .json";
        return std::nullopt;
      }
      return formats::formatEml(image);
    case Format::kJson:
      return formats::formatJson(image, creator);
    case Format::kMct:
      return formats::formatMct(image);
    case Format::kNfc:
      return formats::formatFlipper(image, error);
  }
  error = "unknown format";
  return std::nullopt;
}

std::optional<CardImage> readImageFile(const std::string& path, Format format, std::string& error) {
  const rfid_serial::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path + ": not a regular file";
    return std::nullopt;
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = path + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > kMaxFileSize) {
      error = path + ": larger than 1 MiB, not a MIFARE Classic 1K dump";
      return std::nullopt;
    }
  }
  auto image = parseImage(content, format, error);
  if (!image) error = path + ", " + error;
  return image;
}

bool writeImageFile(const std::string& path, const CardImage& image, Format format,
                    const std::string& creator, std::vector<std::string>& warnings,
                    std::string& error) {
  const auto content = formatImage(image, format, creator, warnings, error);
  if (!content) {
    error = path + ": " + error;
    return false;
  }
  // The rename replaces the file in one step, so a reader of it never sees
  // half a dump.
  const std::string temporary = path + ".tmp";
  bool written = false;
  {
    const rfid_serial::UniqueFd file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    written = file.valid() && ::fchmod(file.get(), 0600) == 0 && writeAll(file.get(), *content);
  }
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace rfid_image
