#include "keys/key_posting.hpp"

namespace trovik::keys {

void postKey(KeyCode code, Keyboard& keyboard, Trust& trust, Log& log) {
  if (!trust.isProcessTrusted()) {
    log.line("Trovik: Accessibility permission not granted");
    return;
  }
  keyboard.press(code, false);
}

void postKeyWithShift(KeyCode code, Keyboard& keyboard, Trust& trust) {
  if (!trust.isProcessTrusted()) return;
  keyboard.press(code, true);
}

}  // namespace trovik::keys
