#pragma once

#include "platform/keyboard.hpp"
#include "platform/log.hpp"

namespace trovik::keys {

// One key press (down, then up) with the modifiers the keyboard has. Without keyboard
// access (`trusted` false) it logs that and posts nothing. True when the press reached the
// system.
bool postKey(KeyCode code, Keyboard& keyboard, bool trusted, Log& log);

// One key press with Shift held around it. Without keyboard access it posts nothing and
// logs nothing. True when the press reached the system.
bool postKeyWithShift(KeyCode code, Keyboard& keyboard, bool trusted);

}  // namespace trovik::keys
