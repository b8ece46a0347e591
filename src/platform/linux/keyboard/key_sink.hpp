#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace trovik {

// How often a device that is gone is tried again at most: one that stays gone costs a try
// every few seconds, however often keys come.
inline constexpr std::chrono::milliseconds kRetryInterval{2000};

// Where key presses end up: a uinput device, an X server. Each keeps its own device alive in
// the background, so that asking whether it is usable costs nothing. Thread-safe.
class KeySink {
 public:
  virtual ~KeySink() = default;
  // Whether a press made now would reach a device: the state of the device itself.
  virtual bool usable() const = 0;
  // One press of an evdev key, Shift held around it when `shift`, as one write that nothing
  // comes between; true when the device took all of it. A press that cannot get through
  // leaves no key down, and the sink unusable until its device works again. Never waits on
  // the device.
  virtual bool press(std::uint16_t evdevCode, bool shift) = 0;
  // Why the sink is unusable, for the user; empty when it is fine.
  virtual std::string problem() const = 0;
};

}  // namespace trovik
