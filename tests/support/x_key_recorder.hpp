#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace trovik::testing {

// A key event as the focused application sees it.
struct SeenKey {
  bool press;
  std::uint8_t keycode;
  bool shift;           // Shift was held when the event happened
  xcb_keysym_t keysym;  // what the keycode means under that Shift state
  bool operator==(const SeenKey&) const = default;
};
std::ostream& operator<<(std::ostream& out, const SeenKey& key);

// X keycodes (evdev + 8) and the keysyms an application reads from them.
inline constexpr std::uint8_t kShiftL = 50;
inline constexpr xcb_keysym_t kSymShiftL = 0xffe1;

struct Key {
  std::uint8_t keycode;
  xcb_keysym_t keysym;
};

// What the focused window sees for one press of `key`, without and with Shift around it.
inline void addPress(std::vector<SeenKey>& keys, Key key) {
  keys.push_back({true, key.keycode, false, key.keysym});
  keys.push_back({false, key.keycode, false, key.keysym});
}
inline void addShiftedPress(std::vector<SeenKey>& keys, Key key) {
  keys.push_back({true, kShiftL, false, kSymShiftL});
  keys.push_back({true, key.keycode, true, key.keysym});
  keys.push_back({false, key.keycode, true, key.keysym});
  keys.push_back({false, kShiftL, true, kSymShiftL});
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
  xcb_keysym_t keysym(std::uint8_t keycode, bool shifted) const;
  std::vector<SeenKey> read(std::size_t count, std::chrono::milliseconds timeout, bool untilMarker);

  xcb_connection_t* c_;
  xcb_window_t window_ = 0;
  std::uint8_t minKeycode_ = 0;
  int keysymsPerKeycode_ = 0;
  std::vector<xcb_keysym_t> keysyms_;
};

}  // namespace trovik::testing
