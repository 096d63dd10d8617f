// The two reader families, as every program around the module names them:
// "vor" (the checksummed protocol) and "elatec" (the length-prefixed one),
// on command lines, in configuration files, events and the simulator. The
// module's own numbers for them are RFID_MODULE_VOR and RFID_MODULE_ELATEC
// in Module_RFID_ext.h; moduleType gives them for a host that links the
// module. Depends on nothing, so the simulator, which does not link the
// module, names its readers the same way.
#ifndef RFID_HOST_MODEL_H
#define RFID_HOST_MODEL_H

#include <optional>
#include <string_view>

namespace rfid_host {

enum class Model { kVor, kElatec };

inline constexpr Model kModels[] = {Model::kVor, Model::kElatec};

constexpr const char* modelName(Model model) {
  return model == Model::kVor ? "vor" : "elatec";
}

// The model a name means, of exactly that spelling; nothing for any other.
constexpr std::optional<Model> modelFromName(std::string_view name) {
  for (const Model model : kModels) {
    if (name == modelName(model)) return model;
  }
  return std::nullopt;
}

}  // namespace rfid_host

#endif  // RFID_HOST_MODEL_H
