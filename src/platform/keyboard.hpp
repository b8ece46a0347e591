#pragma once

#include <cstdint>

namespace trovik {

using KeyCode = std::uint16_t;  // a macOS virtual key code: a key position of the US ANSI layout

// Types at the hardware-input level, into whatever application is in front.
class Keyboard {
 public:
  virtual ~Keyboard() = default;
  // One press of the key at `key`'s position as one unit: down, then up at once. With
  // `shift`, Shift is held around the press and no other press comes between. True when the
  // whole press was handed to the system; false when it was not (no device, a device that
  // failed, a key this keyboard cannot type), and then no key of it stays down. Thread-safe;
  // never waits on a device.
  virtual bool press(KeyCode key, bool shift) = 0;
};

}  // namespace trovik
