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
#include <string_view>
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
// and KeyRelease it receives, in order. It plays the window manager's part too: it makes
// windows that say which application they belong to, and names the active one on the root.
class XKeyRecorder {
 public:
  // With `wmClass`, a window for a window manager, which names it by this class in WM_CLASS and
  // gives it the focus itself: one taken behind its back could come back after another window's.
  static std::unique_ptr<XKeyRecorder> open(const std::string& display, std::string& error,
                                            std::string_view wmClass = {}) {
    std::unique_ptr<XKeyRecorder> recorder(new XKeyRecorder(xcb_connect(display.c_str(), nullptr)));
    xcb_connection_t* c = recorder->c_;
    if (xcb_connection_has_error(c)) {
      error = "cannot connect to " + display;
      return nullptr;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    recorder->root_ = screen->root;
    const std::string_view names[] = {"_NET_ACTIVE_WINDOW", "_GTK_APPLICATION_ID", "UTF8_STRING"};
    for (int i = 0; i < 3; ++i) {
      auto* reply = xcb_intern_atom_reply(
          c, xcb_intern_atom(c, 0, std::uint16_t(names[i].size()), names[i].data()), nullptr);
      recorder->atoms_[i] = reply ? reply->atom : XCB_NONE;
      std::free(reply);
    }
    const xcb_window_t window = xcb_generate_id(c);
    // Painted, so that a compositor shows it (under Xwayland).
    const std::uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_KEY_PRESS |
                                                             XCB_EVENT_MASK_KEY_RELEASE |
                                                             XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    if (!wmClass.empty()) recorder->nameClass(window, wmClass);
    xcb_map_window(c, window);
    xcb_flush(c);
    // Focus can only go to a viewable window: wait until the map has happened.
    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
      const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
      std::free(event);
      if (mapped) break;
    }
    recorder->window_ = window;
    if (!wmClass.empty()) return recorder;
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
    if (recorder->focused()) return recorder;
    error = "the recording window did not get the focus";
    return nullptr;
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

  // An unmapped window with WM_CLASS "instance\0<wmClass>\0" and _GTK_APPLICATION_ID (an
  // empty value counts as none).
  xcb_window_t make(std::string_view wmClass, std::string_view gtkApplicationId = {}) {
    const xcb_window_t window = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    nameClass(window, wmClass);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atoms_[1], atoms_[2], 8,
                        std::uint32_t(gtkApplicationId.size()), gtkApplicationId.data());
    sync();
    return window;
  }
  // Sets the root's _NET_ACTIVE_WINDOW (XCB_NONE: no window); with `wait`, returns once the
  // server has done it, else leaves the request queued until the next request that sends.
  void activate(xcb_window_t window, bool wait = true) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, root_, atoms_[0], XCB_ATOM_WINDOW, 32, 1,
                        &window);
    if (wait) sync();
  }
  // Whether the recording window has the input focus, which a window manager may move.
  bool focused() {
    auto* focus = xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr);
    const bool focused = focus && focus->focus == window_;
    std::free(focus);
    return focused;
  }
  void destroy(xcb_window_t window) {  // sends it and what is queued
    xcb_destroy_window(c_, window);
    xcb_flush(c_);
  }

 private:
  explicit XKeyRecorder(xcb_connection_t* c) : c_(c) {}
  void nameClass(xcb_window_t window, std::string_view wmClass) {
    const std::string classes = "instance" + std::string(1, '\0') + std::string(wmClass) + '\0';
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        std::uint32_t(classes.size()), classes.data());
  }
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  xcb_connection_t* c_;
  xcb_window_t root_ = XCB_NONE;
  xcb_window_t window_ = XCB_NONE;  // the recording one
  xcb_atom_t atoms_[3] = {};        // _NET_ACTIVE_WINDOW, _GTK_APPLICATION_ID, UTF8_STRING
};

}  // namespace trovik::testing
