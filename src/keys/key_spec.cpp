#include "keys/key_spec.hpp"

#include "keys/key_tables.hpp"
#include "service/messages.hpp"

namespace trovik::keys {

std::optional<KeyPress> keyPressForSpec(std::string_view text, const Text& unicode) {
  using messages::kShiftPrefix;
  if (text.starts_with(kShiftPrefix)) {
    // Only the first character after the prefix counts, taken as it is.
    const std::string first = unicode.firstCharacter(text.substr(kShiftPrefix.size()));
    if (auto code = characterKeyCode(first)) return KeyPress{*code, true};
    return std::nullopt;
  }
  if (auto code = specialKeyCode(text)) return KeyPress{*code, false};
  const std::string first = unicode.firstCharacter(unicode.lowercased(text));
  if (auto code = characterKeyCode(first)) return KeyPress{*code, false};
  return std::nullopt;
}

}  // namespace trovik::keys
