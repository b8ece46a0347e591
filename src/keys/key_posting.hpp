#pragma once

#include "platform/keyboard_events.hpp"
#include "platform/log.hpp"
#include "platform/trust.hpp"

namespace trovik::keys {

// One key press (down, then up) at the hardware-input tap with the flags creation gives.
// Without keyboard access it logs that and posts nothing.
void postKey(KeyCode code, KeyboardEvents& keyboard, Trust& trust, Log& log);

// One key press whose two events carry exactly the Shift flag. Without keyboard access it
// posts nothing and logs nothing.
void postKeyWithShift(KeyCode code, KeyboardEvents& keyboard, Trust& trust);

}  // namespace trovik::keys
