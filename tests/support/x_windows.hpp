#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <string>
#include <string_view>

namespace trovik::testing {

// An X client that plays the window manager's part: it makes windows that say which
// application they belong to, and names the active one on the root window.
class XWindows {
 public:
  static std::unique_ptr<XWindows> open(const std::string& display, std::string& error);
  ~XWindows() { xcb_disconnect(c_); }

  // An unmapped window with WM_CLASS "instance\0<wmClass>\0" and _GTK_APPLICATION_ID (an
  // empty value counts as none).
  xcb_window_t make(std::string_view wmClass, std::string_view gtkApplicationId = {});
  // Sets the root's _NET_ACTIVE_WINDOW (XCB_NONE: no window); with `wait`, returns once the
  // server has done it, else leaves the request queued until the next request that sends.
  void activate(xcb_window_t window, bool wait = true);
  void destroy(xcb_window_t window);  // sends it and what is queued

 private:
  explicit XWindows(xcb_connection_t* c) : c_(c) {}
  void sync();

  xcb_connection_t* c_;
  xcb_window_t root_ = XCB_NONE;
  xcb_atom_t atoms_[3] = {};  // _NET_ACTIVE_WINDOW, _GTK_APPLICATION_ID, UTF8_STRING
};

}  // namespace trovik::testing
