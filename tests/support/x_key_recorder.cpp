#include "support/x_key_recorder.hpp"

#include <poll.h>
#include <xcb/xtest.h>

#include <cstdlib>

namespace trovik::testing {
namespace {

constexpr std::uint8_t kMarkerKeycode = 96;  // F12: no command presses it

}  // namespace

std::ostream& operator<<(std::ostream& out, const SeenKey& key) {
  return out << (key.press ? "press " : "release ") << int(key.keycode)
             << (key.shift ? " shift" : "");
}

std::unique_ptr<XKeyRecorder> XKeyRecorder::open(const std::string& display, std::string& error) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  std::unique_ptr<XKeyRecorder> recorder(new XKeyRecorder(c));
  if (xcb_connection_has_error(c)) {
    error = "cannot connect to " + display;
    return nullptr;
  }
  if (!recorder->setUp(error)) return nullptr;
  return recorder;
}

XKeyRecorder::~XKeyRecorder() {
  xcb_disconnect(c_);
}

bool XKeyRecorder::setUp(std::string& error) {
  const xcb_setup_t* setup = xcb_get_setup(c_);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
  window_ = xcb_generate_id(c_);
  const std::uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                             XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 100, 100, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, &mask);
  xcb_map_window(c_, window_);
  xcb_flush(c_);
  // Focus can only go to a viewable window: wait until the map has happened.
  for (;;) {
    xcb_generic_event_t* event = xcb_wait_for_event(c_);
    if (!event) {
      error = "X connection closed while mapping";
      return false;
    }
    const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
    std::free(event);
    if (mapped) break;
  }
  xcb_generic_error_t* failure = xcb_request_check(
      c_, xcb_set_input_focus_checked(c_, XCB_INPUT_FOCUS_PARENT, window_, XCB_CURRENT_TIME));
  auto* focus = xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr);
  const bool focused = !failure && focus && focus->focus == window_;
  std::free(failure);
  std::free(focus);
  if (!focused) error = "the recording window did not get the focus";
  return focused;
}

std::vector<SeenKey> XKeyRecorder::take(std::size_t count, std::chrono::milliseconds timeout) {
  return read(count, timeout, false);
}

std::vector<SeenKey> XKeyRecorder::takeAll(std::size_t expected,
                                           std::chrono::milliseconds timeout) {
  std::vector<SeenKey> seen = read(expected, timeout, false);
  xcb_test_fake_input(c_, XCB_KEY_PRESS, kMarkerKeycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_test_fake_input(c_, XCB_KEY_RELEASE, kMarkerKeycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(c_);
  const auto strays = read(SIZE_MAX, timeout, true);
  seen.insert(seen.end(), strays.begin(), strays.end());
  return seen;
}

std::vector<SeenKey> XKeyRecorder::read(std::size_t count, std::chrono::milliseconds timeout,
                                        bool untilMarker) {
  std::vector<SeenKey> seen;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (seen.size() < count) {
    xcb_generic_event_t* event = xcb_poll_for_event(c_);
    if (!event) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd pfd{xcb_get_file_descriptor(c_), POLLIN, 0};
      if (left.count() <= 0 || xcb_connection_has_error(c_)) break;
      poll(&pfd, 1, int(left.count()));
      continue;
    }
    const int type = event->response_type & 0x7f;
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
      const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
      const SeenKey seenKey{type == XCB_KEY_PRESS, key->detail,
                            (key->state & XCB_MOD_MASK_SHIFT) != 0};
      std::free(event);
      if (untilMarker && seenKey.keycode == kMarkerKeycode) {
        if (!seenKey.press) break;
        continue;
      }
      seen.push_back(seenKey);
      continue;
    }
    std::free(event);
  }
  return seen;
}

}  // namespace trovik::testing
