#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace trovik {

// A device whose loss needs a new one waits this long between attempts, so that a device or
// server that is gone costs one try every few seconds, however often keys come.
inline constexpr std::chrono::milliseconds kRetryInterval{2000};

// Where key presses end up: a uinput device, an X server. Each keeps its own device alive in
// the background, so that asking whether it is usable costs nothing. Thread-safe.
class KeySink {
 public:
  virtual ~KeySink() = default;
  // Whether a press made now would reach a device: the state of the device itself.
  virtual bool usable() const = 0;
  // One press of an evdev key, Shift held around it when `shift`, as one write that nothing
  // comes between. A press that breaks off releases what it pressed and gives up the device
  // until a new one is made.
  virtual void press(std::uint16_t evdevCode, bool shift) = 0;
  // Why the sink is unusable, for the user; empty when it is fine.
  virtual std::string problem() const = 0;
};

}  // namespace trovik
