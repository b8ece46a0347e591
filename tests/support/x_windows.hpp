#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace trovik::testing {

// An X client that plays the window manager's part: it makes windows that say which
// application they belong to, and names the active one on the root window.
class XWindows {
 public:
  static std::unique_ptr<XWindows> open(const std::string& display, std::string& error) {
    std::unique_ptr<XWindows> windows(new XWindows(xcb_connect(display.c_str(), nullptr)));
    xcb_connection_t* c = windows->c_;
    if (xcb_connection_has_error(c)) {
      error = "cannot connect to " + display;
      return nullptr;
    }
    windows->root_ = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const std::string_view names[] = {"_NET_ACTIVE_WINDOW", "_GTK_APPLICATION_ID", "UTF8_STRING"};
    for (int i = 0; i < 3; ++i) {
      auto* reply = xcb_intern_atom_reply(
          c, xcb_intern_atom(c, 0, std::uint16_t(names[i].size()), names[i].data()), nullptr);
      windows->atoms_[i] = reply ? reply->atom : XCB_NONE;
      std::free(reply);
    }
    return windows;
  }
  ~XWindows() { xcb_disconnect(c_); }

  // An unmapped window with WM_CLASS "instance\0<wmClass>\0" and _GTK_APPLICATION_ID (an
  // empty value counts as none).
  xcb_window_t make(std::string_view wmClass, std::string_view gtkApplicationId = {}) {
    const xcb_window_t window = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    const std::string classes = "instance" + std::string(1, '\0') + std::string(wmClass) + '\0';
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        std::uint32_t(classes.size()), classes.data());
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
  void destroy(xcb_window_t window) {  // sends it and what is queued
    xcb_destroy_window(c_, window);
    xcb_flush(c_);
  }

 private:
  explicit XWindows(xcb_connection_t* c) : c_(c) {}
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  xcb_connection_t* c_;
  xcb_window_t root_ = XCB_NONE;
  xcb_atom_t atoms_[3] = {};  // _NET_ACTIVE_WINDOW, _GTK_APPLICATION_ID, UTF8_STRING
};

}  // namespace trovik::testing
