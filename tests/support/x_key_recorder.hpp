#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace trovik::testing {

// A key event as the focused application sees it: X keycodes are evdev codes + 8.
struct SeenKey {
  bool press;
  std::uint8_t keycode;
  bool shift;  // Shift was held when the event happened
  bool operator==(const SeenKey&) const = default;
};
std::ostream& operator<<(std::ostream& out, const SeenKey& key);

inline constexpr std::uint8_t kShiftL = 50;

// What the focused window sees for one press of `keycode`, with Shift around it if `shift`.
inline void addPress(std::vector<SeenKey>& keys, std::uint8_t keycode, bool shift = false) {
  if (shift) keys.push_back({true, kShiftL, false});
  keys.push_back({true, keycode, shift});
  keys.push_back({false, keycode, shift});
  if (shift) keys.push_back({false, kShiftL, true});
}

// An X client with a mapped window that has the input focus and records every KeyPress
// and KeyRelease it receives, in order.
class XKeyRecorder {
 public:
  static std::unique_ptr<XKeyRecorder> open(const std::string& display, std::string& error);
  ~XKeyRecorder();

  // The key events received until `count` have arrived or `timeout` has passed.
  std::vector<SeenKey> take(std::size_t count, std::chrono::milliseconds timeout);
  // Waits for `expected` key events, then returns every key event received before a marker
  // key that this client presses itself: strays beyond `expected` show up too. (The marker
  // comes only after the expected events, as the server orders two clients' requests freely.)
  std::vector<SeenKey> takeAll(std::size_t expected, std::chrono::milliseconds timeout);

 private:
  XKeyRecorder(xcb_connection_t* c) : c_(c) {}
  bool setUp(std::string& error);
  std::vector<SeenKey> read(std::size_t count, std::chrono::milliseconds timeout, bool untilMarker);

  xcb_connection_t* c_;
  xcb_window_t window_ = 0;
};

}  // namespace trovik::testing
