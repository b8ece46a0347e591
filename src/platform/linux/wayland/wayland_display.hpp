#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct wl_display;
struct wl_registry;

namespace trovik {

// The globals of a compositor that the agent uses, by their registry names; 0: not offered.
struct WaylandGlobals {
  std::uint32_t seat = 0;
  std::uint32_t virtualKeyboards = 0;                         // zwp_virtual_keyboard_manager_v1
  std::uint32_t toplevels = 0;                                // zwlr_foreign_toplevel_manager_v1
  std::uint32_t fakeInput = 0, fakeInputVersion = 0;          // org_kde_kwin_fake_input
  std::uint32_t plasmaWindows = 0, plasmaWindowsVersion = 0;  // org_kde_plasma_window_management
};

// KWin's fake input types keys from this version on.
inline constexpr std::uint32_t kFakeInputKeysSince = 4;

// Asks for the compositor's globals; they are in `globals` once the compositor has answered
// (see roundTrip). The registry and `globals` must outlive the connection's dispatching.
wl_registry* listGlobals(wl_display* display, WaylandGlobals& globals);

// Dispatches the events of `display` until `done` is set; false when the connection failed,
// `deadline` passed or `stopFd` (when not -1) became readable first.
bool dispatchUntil(wl_display* display, const bool& done,
                   std::chrono::steady_clock::time_point deadline, int stopFd = -1);

// Waits until the compositor has handled everything sent so far, as dispatchUntil does.
bool roundTrip(wl_display* display, std::chrono::steady_clock::time_point deadline,
               int stopFd = -1);

// The compositor's name as best known: its process's, else the desktop's.
std::string compositorName(wl_display* display);

// What the compositor at `display` ($WAYLAND_DISPLAY's form) offers the agent.
struct WaylandOffer {
  bool reached = false;          // it answered
  bool virtualKeyboard = false;  // a wlroots virtual keyboard or KWin's fake input
  bool toplevels = false;        // a wlroots or a KDE Plasma window list
  std::string compositor;
  // KWin lends its window list only to an installed copy; a script loaded into it stands in.
  bool kwinScript() const { return reached && !toplevels && compositor.starts_with("kwin"); }
};

// Connects once, waits up to `patience` for the compositor's globals, and disconnects.
// Nothing reached when `display` is empty. A compositor that took the connection but is silent
// after `patience` is said to be waited for, and given up to `busy` more (a loaded machine).
WaylandOffer probeWayland(const std::string& display, std::chrono::milliseconds patience,
                          std::chrono::milliseconds busy = {});

}  // namespace trovik
