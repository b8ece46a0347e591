#pragma once

#include "platform/keyboard.hpp"
#include "platform/log.hpp"
#include "platform/trust.hpp"

namespace trovik::keys {

// One key press (down, then up) with the modifiers the keyboard has. Without keyboard
// access it logs that and posts nothing.
void postKey(KeyCode code, Keyboard& keyboard, Trust& trust, Log& log);

// One key press with Shift held around it. Without keyboard access it posts nothing and
// logs nothing.
void postKeyWithShift(KeyCode code, Keyboard& keyboard, Trust& trust);

}  // namespace trovik::keys
