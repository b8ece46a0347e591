#include "keys/key_posting.hpp"

namespace trovik::keys {

bool postKey(KeyCode code, Keyboard& keyboard, bool trusted, Log& log) {
  if (!trusted) {
    log.line("Trovik: Accessibility permission not granted");
    return false;
  }
  return keyboard.press(code, false);
}

bool postKeyWithShift(KeyCode code, Keyboard& keyboard, bool trusted) {
  return trusted && keyboard.press(code, true);
}

}  // namespace trovik::keys
