#pragma once

// The wayland workspace's connection to its compositor, shared by the code of each window
// list it knows. Main thread only.

#include <wayland-client.h>

#include <asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <map>
#include <string>
#include <system_error>

#include "platform/linux/wayland/wayland_display.hpp"
#include "platform/linux/wayland/wayland_workspace.hpp"

struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_foreign_toplevel_handle_v1;
struct org_kde_plasma_window_management;
struct org_kde_plasma_window;

namespace trovik {

struct Toplevel {
  std::string appId, pendingAppId;
  bool activated = false, pendingActivated = false;
};

struct WaylandWorkspace::Session {
  Session(asio::io_context& context, wl_display* d)
      : display(d), descriptor(context, wl_display_get_fd(d)) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The window in front, if any.
  const Toplevel* active() const;

  wl_display* const display;
  asio::posix::stream_descriptor descriptor;
  std::string compositor;
  wl_registry* registry = nullptr;
  WaylandGlobals globals;
  wl_callback* sync = nullptr;
  int answers = 0;  // to `sync`
  zwlr_foreign_toplevel_manager_v1* manager = nullptr;
  std::map<zwlr_foreign_toplevel_handle_v1*, Toplevel> toplevels;
  org_kde_plasma_window_management* plasmaManager = nullptr;  // on KDE Plasma, instead
  std::map<org_kde_plasma_window*, Toplevel> plasmaWindows;
  const std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
  bool ready = false;     // the first list of windows is complete
  bool finished = false;  // the compositor ended the list
};

// Asks KWin for its windows and follows them in `s.plasmaWindows`.
void bindPlasmaWindows(WaylandWorkspace::Session& s);
// Lets go of them, for the session's end.
void releasePlasmaWindows(WaylandWorkspace::Session& s);

}  // namespace trovik
