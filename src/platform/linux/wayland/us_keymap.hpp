#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace trovik {

// The US keymap that a virtual keyboard hands the compositor.
struct UsKeymap {
  std::string text;         // xkb's text form
  std::uint32_t shift = 0;  // Shift's bit in the modifier masks
};

// From xkbcommon; none when it has no keymap data.
std::optional<UsKeymap> makeUsKeymap();

// `text` with its terminating NUL in a sealed memory file, as the compositor maps it; -1 on
// failure.
int keymapFile(const std::string& text);

}  // namespace trovik
