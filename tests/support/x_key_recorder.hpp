#pragma once

#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
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
inline std::ostream& operator<<(std::ostream& out, const SeenKey& key) {
  return out << (key.press ? "press " : "release ") << int(key.keycode)
             << (key.shift ? " shift" : "");
}

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
  static std::unique_ptr<XKeyRecorder> open(const std::string& display, std::string& error) {
    std::unique_ptr<XKeyRecorder> recorder(new XKeyRecorder(xcb_connect(display.c_str(), nullptr)));
    xcb_connection_t* c = recorder->c_;
    if (xcb_connection_has_error(c)) {
      error = "cannot connect to " + display;
      return nullptr;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t mask =
        XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, &mask);
    xcb_map_window(c, window);
    xcb_flush(c);
    // Focus can only go to a viewable window: wait until the map has happened.
    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
      const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
      std::free(event);
      if (mapped) break;
    }
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
    auto* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
    const bool focused = focus && focus->focus == window;
    std::free(focus);
    if (!focused) error = "the recording window did not get the focus";
    return focused ? std::move(recorder) : nullptr;
  }
  ~XKeyRecorder() { xcb_disconnect(c_); }

  // The key events received until `count` have arrived or `timeout` has passed.
  std::vector<SeenKey> take(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<SeenKey> seen;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (seen.size() < count) {
      xcb_generic_event_t* event = xcb_poll_for_event(c_);
      if (!event) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(c_)) break;
        pollfd pfd{xcb_get_file_descriptor(c_), POLLIN, 0};
        ::poll(&pfd, 1, int(left.count()));
        continue;
      }
      const int type = event->response_type & 0x7f;
      const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
      if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
        seen.push_back(
            {type == XCB_KEY_PRESS, key->detail, (key->state & XCB_MOD_MASK_SHIFT) != 0});
      }
      std::free(event);
    }
    return seen;
  }
  // Waits for `expected` key events, then returns every key event received before a marker
  // key that this client presses itself: strays beyond `expected` show up too. (The marker
  // comes only after the expected events, as the server orders two clients' requests freely.)
  std::vector<SeenKey> takeAll(std::size_t expected, std::chrono::milliseconds timeout) {
    constexpr std::uint8_t kMarker = 96;  // F12: no command presses it
    std::vector<SeenKey> seen = take(expected, timeout);
    for (std::uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
      xcb_test_fake_input(c_, type, kMarker, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    xcb_flush(c_);
    for (auto next = take(1, timeout); !next.empty(); next = take(1, timeout)) {
      if (next[0].keycode != kMarker) {
        seen.push_back(next[0]);
      } else if (!next[0].press) {
        break;
      }
    }
    return seen;
  }

 private:
  explicit XKeyRecorder(xcb_connection_t* c) : c_(c) {}
  xcb_connection_t* c_;
};

}  // namespace trovik::testing
