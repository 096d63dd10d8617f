// An enum's values and the names that stand for them outside the program
// (in files, flags, events, refusal reasons), as one constexpr table: the
// names in the enumerators' order for an enum that counts from 0 without
// gaps, or {value, name} entries for one with values of its own (protocol
// codes).
#ifndef RFID_NAMES_NAME_TABLE_H
#define RFID_NAMES_NAME_TABLE_H

#include <cstddef>
#include <optional>
#include <string_view>

namespace rfid_names {

template <typename Enum>
struct Named {
  Enum value;
  const char* name;
};

// The name of `value`; a value the table lacks (no enumerator, a cast)
// gets `fallback`, so a caller never prints a null pointer.
template <typename Enum, std::size_t N>
constexpr const char* nameOf(const Named<Enum> (&table)[N], Enum value, const char* fallback) {
  for (const Named<Enum>& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return fallback;
}

// The name of `value` in a table of names in the enumerators' order;
// `fallback` for a value past its end.
template <typename Enum, std::size_t N>
constexpr const char* nameOf(const char* const (&names)[N], Enum value, const char* fallback) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : fallback;
}

// The value named `name`, exactly as the table spells it.
template <typename Enum, std::size_t N>
constexpr std::optional<Enum> valueNamed(const Named<Enum> (&table)[N], std::string_view name) {
  for (const Named<Enum>& entry : table) {
    if (name == entry.name) return entry.value;
  }
  return std::nullopt;
}

}  // namespace rfid_names

#endif  // RFID_NAMES_NAME_TABLE_H
