#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/keyboard.hpp"

namespace trovik {

// The evdev code (linux/input-event-codes.h) of the key at the physical position that a
// macOS virtual key code names; none for positions the agent never presses.
std::optional<std::uint16_t> evdevKeyCode(KeyCode macCode);

// What a virtual keyboard declares: every code evdevKeyCode can give, the left Shift, and
// whatever else makes the desktop treat it as a full keyboard.
std::span<const std::uint16_t> evdevKeysDeclared();

// The left Shift, the one modifier a shifted press holds.
inline constexpr std::uint16_t kEvdevLeftShift = 42;

}  // namespace trovik
