#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "platform/keyboard.hpp"

namespace trovik::keys {

// Whole-text names of keys, matched exactly (case included).
std::optional<KeyCode> specialKeyCode(std::string_view name);
// One character: the lower-case letters a-z and the digits 0-9.
std::optional<KeyCode> characterKeyCode(std::string_view character);

// For table-driven checks elsewhere: every entry of both tables.
struct KeyTableEntry {
  std::string_view text;
  KeyCode code;
};
std::span<const KeyTableEntry> specialKeyTable();
std::span<const KeyTableEntry> characterKeyTable();

}  // namespace trovik::keys
