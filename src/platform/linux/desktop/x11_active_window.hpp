#pragma once

#include <xcb/xcb.h>

#include <array>
#include <optional>
#include <string>

namespace trovik {

struct X11Atoms {
  xcb_atom_t activeWindow = XCB_NONE;      // _NET_ACTIVE_WINDOW
  xcb_atom_t gtkApplicationId = XCB_NONE;  // _GTK_APPLICATION_ID
  xcb_atom_t kdeDesktopFile = XCB_NONE;    // _KDE_NET_WM_DESKTOP_FILE
};

// One reading of the application in front: the root's _NET_ACTIVE_WINDOW, then every
// identity property of that window, all requested at once. A window that is gone before
// its properties are read names no application.
class ActiveWindowQuery {
 public:
  // Sends the first request and flushes it.
  ActiveWindowQuery(xcb_connection_t* c, xcb_window_t root, const X11Atoms& atoms);

  // Takes the replies that have arrived and sends what they call for; true once the
  // answer is known. Waits for replies only when `block` is set.
  bool advance(bool block = false);
  // The application's identifier (see applicationIdentifier()); absent for none.
  const std::optional<std::string>& application() const { return application_; }

 private:
  xcb_connection_t* const c_;
  const X11Atoms atoms_;
  std::optional<unsigned> windowRequest_;
  std::array<std::optional<unsigned>, 3> propertyRequests_;
  std::array<std::optional<std::string>, 3> properties_;
  bool done_ = false;
  std::optional<std::string> application_;
};

// A connection whose root window reports each change of _NET_ACTIVE_WINDOW, and the
// application in front when it was made.
struct ActiveWindowWatch {
  xcb_connection_t* connection = nullptr;  // null when `problem` says why
  xcb_window_t root = XCB_NONE;
  X11Atoms atoms;
  std::optional<std::string> application;
  std::string problem;
};

// Connects to `display` and subscribes to the root's property changes. Blocks until the
// server has answered, however long that takes: not for the main thread.
ActiveWindowWatch watchActiveWindow(const std::string& display);

}  // namespace trovik
