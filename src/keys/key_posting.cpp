#include "keys/key_posting.hpp"

#include <optional>

namespace trovik::keys {
namespace {

void postPress(KeyCode code, std::optional<EventFlags> flags, KeyboardEvents& keyboard) {
  auto source = keyboard.createSource(EventSourceState::hidSystemState);
  // Both events exist before either is posted; a missing one is skipped, not retried.
  auto down = keyboard.createKeyboardEvent(source.get(), code, true);
  auto up = keyboard.createKeyboardEvent(source.get(), code, false);
  if (flags) {
    if (down) down->flags = *flags;
    if (up) up->flags = *flags;
  }
  if (down) keyboard.post(EventTap::hid, *down);
  if (up) keyboard.post(EventTap::hid, *up);
}

}  // namespace

void postKey(KeyCode code, KeyboardEvents& keyboard, Trust& trust, Log& log) {
  if (!trust.isProcessTrusted()) {
    log.line("Trovik: Accessibility permission not granted");
    return;
  }
  postPress(code, std::nullopt, keyboard);
}

void postKeyWithShift(KeyCode code, KeyboardEvents& keyboard, Trust& trust) {
  if (!trust.isProcessTrusted()) return;
  postPress(code, kEventFlagMaskShift, keyboard);
}

}  // namespace trovik::keys
