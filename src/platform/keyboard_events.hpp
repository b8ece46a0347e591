#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace trovik {

using KeyCode = std::uint16_t;  // a macOS virtual key code: a key position of the US ANSI layout
using EventFlags = std::uint64_t;

inline constexpr EventFlags kEventFlagMaskShift = 0x20000;

enum class EventSourceState { combinedSession = 0, hidSystemState = 1 };
enum class EventTap { hid = 0, session = 1, annotatedSession = 2 };

// Where synthesized events come from; lives for one key press.
class EventSource {
 public:
  virtual ~EventSource() = default;
};

// One key-down or key-up event. `flags` holds what creation gave until replaced.
struct KeyboardEvent {
  KeyCode keyCode = 0;
  bool keyDown = true;
  EventFlags flags = 0;
};

// Posts keyboard events at the hardware-input level. Thread-safe; creation may fail.
class KeyboardEvents {
 public:
  virtual ~KeyboardEvents() = default;
  // Null when the platform cannot give a source; events can be created without one.
  virtual std::unique_ptr<EventSource> createSource(EventSourceState state) = 0;
  virtual std::optional<KeyboardEvent> createKeyboardEvent(EventSource* source, KeyCode key,
                                                           bool keyDown) = 0;
  virtual void post(EventTap tap, const KeyboardEvent& event) = 0;
};

}  // namespace trovik
