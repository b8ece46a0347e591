#pragma once

#include <optional>
#include <string_view>

#include "platform/keyboard.hpp"
#include "platform/text.hpp"

namespace trovik::keys {

struct KeyPress {
  KeyCode code;
  bool shift;
  bool operator==(const KeyPress&) const = default;
};

// The key a trimmed command text names, if any: "shift+" and a table character, a special
// name, or the first character of the lower-cased text.
std::optional<KeyPress> keyPressForSpec(std::string_view text, const Text& unicode);

}  // namespace trovik::keys
