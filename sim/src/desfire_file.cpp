#include "rfid_sim/desfire_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "rfid_hex/hex.h"
#include "rfid_names/name_table.h"

namespace rfid_sim {
namespace {

using nlohmann::json;

struct Fault {
  std::string message;
};

const json& member(const json& object, const char* name, const std::string& where) {
  if (!object.is_object() || !object.contains(name)) throw Fault{where + name + " is missing"};
  return object.at(name);
}

std::string text(const json& object, const char* name, const std::string& where) {
  const json& value = member(object, name, where);
  if (!value.is_string()) throw Fault{where + name + " must be a string"};
  return value.get<std::string>();
}

DesfireBytes hexBytes(const json& object, const char* name, const std::string& where,
                      std::size_t size = 0) {
  const auto bytes = rfid_hex::fromHex(text(object, name, where));
  if (!bytes || (size != 0 && bytes->size() != size)) {
    throw Fault{where + name + " must be " +
                (size != 0 ? std::to_string(2 * size) + " hex digits" : std::string("hex digits"))};
  }
  return *bytes;
}

std::uint32_t hexNumber(const json& object, const char* name, const std::string& where,
                        std::size_t size) {
  std::uint32_t value = 0;
  for (const std::uint8_t byte : hexBytes(object, name, where, size)) value = value << 8 | byte;
  return value;
}

// A key, or the default key when the entry has none.
DesfireKey keyOf(const json& entry, const char* keyName, const char* versionName,
                 const std::string& where, bool& missing) {
  DesfireKey key;
  if (entry.contains(keyName)) {
    const DesfireBytes bytes = hexBytes(entry, keyName, where, AesKey::size());
    std::copy(bytes.begin(), bytes.end(), key.key.data());
  } else {
    missing = true;
  }
  if (entry.contains(versionName)) {
    const json& version = entry.at(versionName);
    if (!version.is_number_unsigned() || version.get<unsigned>() > 0xFF) {
      throw Fault{where + versionName + " must be 0 to 255"};
    }
    key.version = static_cast<std::uint8_t>(version.get<unsigned>());
  }
  return key;
}

CommMode modeOf(const std::string& name, const std::string& where) {
  if (name == "plain") return CommMode::kPlain;
  if (name == "mac") return CommMode::kMac;
  if (name == "full") return CommMode::kFull;
  throw Fault{where + "CommMode must be plain, mac or full"};
}

constexpr rfid_names::Named<CommMode> kCommModeNames[] = {
    {CommMode::kPlain, "plain"}, {CommMode::kMac, "mac"}, {CommMode::kFull, "full"}};

const char* modeName(CommMode mode) {
  return rfid_names::nameOf(kCommModeNames, mode, "plain");
}

std::uint8_t versionOf(const std::string& name) {
  if (name == "EV1") return kDesfireEv1;
  if (name == "EV2") return kDesfireEv2;
  if (name == "EV3") return kDesfireEv3;
  throw Fault{"Version must be EV1, EV2 or EV3"};
}

const char* versionName(std::uint8_t version) {
  if (version == kDesfireEv1) return "EV1";
  if (version == kDesfireEv2) return "EV2";
  return "EV3";
}

std::string hexOf(std::uint32_t value, std::size_t bytes) {
  DesfireBytes out(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    out[bytes - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return rfid_hex::toHex(out);
}

}  // namespace

bool isDesfireJson(const std::string& content) {
  const json parsed = json::parse(content, nullptr, false);
  return parsed.is_object() && parsed.contains("Type") && parsed.at("Type") == "DESFire";
}

std::optional<DesfireCard> parseDesfireJson(const std::string& content, std::string& warning,
                                            std::string& error) {
  const json root = json::parse(content, nullptr, false);
  if (root.is_discarded()) {
    error = "not valid JSON";
    return std::nullopt;
  }
  try {
    const DesfireBytes serial = hexBytes(root, "Serial", "");
    if (serial.size() != 7 && !(serial.size() == 4 && serial[0] == 0x08)) {
      throw Fault{"Serial must be 14 hex digits (or 8 starting 08, a Random ID card)"};
    }
    std::uint64_t seed = 1;
    if (root.contains("Seed")) {
      if (!root.at("Seed").is_number_unsigned()) throw Fault{"Seed must be a whole number"};
      seed = root.at("Seed").get<std::uint64_t>();
    }
    DesfireCard card = DesfireCard::factory(
        serial, root.contains("Version") ? versionOf(text(root, "Version", "")) : kDesfireEv3,
        seed);
    bool missingKeys = false;
    bool missingSettings = false;
    if (root.contains("PICC")) {
      const json& picc = root.at("PICC");
      card.setPicc(static_cast<std::uint8_t>(hexNumber(picc, "KeySettings", "PICC.", 1)),
                   keyOf(picc, "Key", "KeyVersion", "PICC.", missingKeys));
    }
    if (root.contains("Applications")) {
      const json& apps = root.at("Applications");
      if (!apps.is_array()) throw Fault{"Applications must be a list"};
      for (std::size_t a = 0; a < apps.size(); ++a) {
        const std::string where = "Applications[" + std::to_string(a) + "].";
        const json& entry = apps[a];
        const std::uint32_t aid = hexNumber(entry, "AID", where, 3);
        if (aid == 0) throw Fault{where + "AID must not be 000000, the card level"};
        // What a card did not show (a dump without keys) takes the
        // defaults: key settings 0F, one default key.
        DesfireApplication app;
        if (entry.contains("KeySettings")) {
          app.keySettings = static_cast<std::uint8_t>(hexNumber(entry, "KeySettings", where, 1));
        } else {
          missingSettings = true;
        }
        if (entry.contains("Keys")) {
          const json& keys = entry.at("Keys");
          if (!keys.is_array() || keys.empty() || keys.size() > 14) {
            throw Fault{where + "Keys must be a list of 1 to 14 keys"};
          }
          for (std::size_t k = 0; k < keys.size(); ++k) {
            app.keys.push_back(keyOf(keys[k], "Key", "Version",
                                     where + "Keys[" + std::to_string(k) + "].", missingKeys));
          }
        } else {
          app.keys.resize(1);
          missingSettings = true;
        }
        if (entry.contains("Files")) {
          const json& files = entry.at("Files");
          if (!files.is_array()) throw Fault{where + "Files must be a list"};
          for (std::size_t f = 0; f < files.size(); ++f) {
            const std::string at = where + "Files[" + std::to_string(f) + "].";
            const json& number = member(files[f], "File", at);
            if (!number.is_number_unsigned() || number.get<unsigned>() > 31) {
              throw Fault{at + "File must be 0 to 31"};
            }
            DesfireFile file;
            file.mode = modeOf(text(files[f], "CommMode", at), at);
            file.rights = static_cast<std::uint16_t>(hexNumber(files[f], "Rights", at, 2));
            file.data = hexBytes(files[f], "Data", at);
            app.files[static_cast<std::uint8_t>(number.get<unsigned>())] = file;
          }
        }
        card.putApplication(aid, app);
      }
    }
    if (missingKeys) warning = "keys without a \"Key\" are the default key (all zero)";
    if (missingSettings) {
      warning += std::string(warning.empty() ? "" : "; ") +
                 "applications without \"KeySettings\" or \"Keys\" have key settings 0F "
                 "and one default key";
    }
    return card;
  } catch (const Fault& fault) {
    error = fault.message;
  } catch (const json::exception&) {
    error = "a value of the wrong type";
  }
  return std::nullopt;
}

std::vector<std::string> describeUnknown(const DesfireUnknown& unknown) {
  std::vector<std::string> lines;
  if (unknown.piccSettings) lines.push_back("PICC key settings");
  if (unknown.piccKey) lines.push_back("PICC key");
  std::set<std::uint32_t> aids = unknown.settings;
  aids.insert(unknown.keys.begin(), unknown.keys.end());
  aids.insert(unknown.files.begin(), unknown.files.end());
  for (const std::uint32_t aid : aids) {
    if (unknown.settings.count(aid) != 0) {
      lines.push_back(hexOf(aid, 3) + " key settings and keys");
    } else if (unknown.keys.count(aid) != 0) {
      lines.push_back(hexOf(aid, 3) + " keys");
    }
    if (unknown.files.count(aid) != 0) lines.push_back(hexOf(aid, 3) + " files");
  }
  return lines;
}

std::string desfireJson(const DesfireCard& card, bool withKeys, const DesfireUnknown& unknown) {
  json root;
  root["Type"] = "DESFire";
  root["Serial"] = rfid_hex::toHex(card.serial());
  root["Version"] = versionName(card.majorVersion());
  json picc;
  picc["KeySettings"] = hexOf(card.piccKeySettings(), 1);
  if (!unknown.piccKey) {
    if (withKeys) picc["Key"] = rfid_hex::toHex(card.piccKey().key.data(), AesKey::size());
    picc["KeyVersion"] = card.piccKey().version;
  }
  if (!unknown.piccSettings) root["PICC"] = picc;
  json apps = json::array();
  for (const auto& [aid, app] : card.applications()) {
    json entry;
    entry["AID"] = hexOf(aid, 3);
    if (unknown.settings.count(aid) == 0) {
      entry["KeySettings"] = hexOf(app.keySettings, 1);
      const bool keysKnown = unknown.keys.count(aid) == 0;
      json keys = json::array();
      for (const DesfireKey& key : app.keys) {
        json k = json::object();
        if (withKeys && keysKnown) k["Key"] = rfid_hex::toHex(key.key.data(), AesKey::size());
        if (keysKnown) k["Version"] = key.version;
        keys.push_back(k);
      }
      entry["Keys"] = keys;
    }
    if (unknown.files.count(aid) != 0) {
      apps.push_back(entry);
      continue;
    }
    json files = json::array();
    for (const auto& [number, file] : app.files) {
      files.push_back({{"File", number},
                       {"CommMode", modeName(file.mode)},
                       {"Rights", hexOf(file.rights, 2)},
                       {"Data", rfid_hex::toHex(file.data)}});
    }
    entry["Files"] = files;
    apps.push_back(entry);
  }
  root["Applications"] = apps;
  if (const auto notRead = describeUnknown(unknown); !notRead.empty()) root["NotRead"] = notRead;
  return root.dump(2) + "\n";
}

std::optional<DesfireCard> readDesfireFile(const std::string& path, std::string& warning,
                                           std::string& error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  const std::string fileText = content.str();
  auto card = parseDesfireJson(fileText, warning, error);
  if (!card) {
    error = path + ": " + error;
    return std::nullopt;
  }
  if (fileText.find("\"Key\"") != std::string::npos && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    error = path + " holds keys but group or others may read it; chmod 600 " + path;
    return std::nullopt;
  }
  if (!warning.empty()) warning = path + ": " + warning;
  return card;
}

bool writeDesfireFile(const std::string& path, const DesfireCard& card, std::string& error) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  const std::string content = desfireJson(card, true);
  const bool written =
      ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
      ::fchmod(fd, 0600) == 0;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace rfid_sim
