#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/keyboard_events.hpp"

namespace trovik {

// The evdev code (linux/input-event-codes.h) of the key at the physical position that a
// macOS virtual key code names; none for positions the agent never presses.
std::optional<std::uint16_t> evdevKeyCode(KeyCode macCode);

// Every evdev code that evdevKeyCode can give, plus the left Shift: what a virtual
// keyboard must declare.
std::span<const std::uint16_t> evdevKeysUsed();

// The left Shift, the one modifier a shifted press holds.
inline constexpr std::uint16_t kEvdevLeftShift = 42;

}  // namespace trovik
