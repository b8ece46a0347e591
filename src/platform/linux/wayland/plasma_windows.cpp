// KWin's window list (org_kde_plasma_window_management): each window's app id, which KWin
// takes from the window's desktop file name or else its resource class, and whether it is
// the active one. A window's changes come one event each, with no closing event.

#include <algorithm>

#include "plasma-window-management-client-protocol.h"
#include "platform/linux/wayland/wayland_session.hpp"

namespace trovik {
namespace {

using Session = WaylandWorkspace::Session;
using Window = org_kde_plasma_window;
using Manager = org_kde_plasma_window_management;

// Windows are listed by id up to this version, by uuid after it.
constexpr std::uint32_t kVersion = 12;

Toplevel& of(void* data, Window* window) {
  return static_cast<Session*>(data)->plasmaWindows[window];
}

template <typename... Arguments>
void ignore(void*, Window*, Arguments...) {}

void onAppId(void* data, Window* window, const char* appId) {
  Toplevel& toplevel = of(data, window);
  toplevel.appId = toplevel.pendingAppId = appId;
}
void onState(void* data, Window* window, std::uint32_t flags) {
  Toplevel& toplevel = of(data, window);
  toplevel.activated = toplevel.pendingActivated =
      (flags & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_ACTIVE) != 0;
}
void onUnmapped(void* data, Window* window) {
  static_cast<Session*>(data)->plasmaWindows.erase(window);
  org_kde_plasma_window_destroy(window);
}

constexpr org_kde_plasma_window_listener kWindowListener{
    ignore<const char*>,  // title
    onAppId,
    onState,
    ignore<std::int32_t>,  // virtual desktop
    ignore<const char*>,   // themed icon name
    onUnmapped,
    ignore<>,                                                          // initial state
    ignore<Window*>,                                                   // parent window
    ignore<std::int32_t, std::int32_t, std::uint32_t, std::uint32_t>,  // geometry
    ignore<>,                                                          // icon
    ignore<std::uint32_t>,                                             // pid
    ignore<const char*>,                                               // virtual desktop entered
    ignore<const char*>,                                               // virtual desktop left
    ignore<const char*, const char*>,                                  // application menu
    ignore<const char*>,                                               // activity entered
    ignore<const char*>,                                               // activity left
    ignore<const char*>};                                              // resource name

void onWindow(void* data, Manager* manager, std::uint32_t id) {
  Window* window = org_kde_plasma_window_management_get_window(manager, id);
  static_cast<Session*>(data)->plasmaWindows[window];
  org_kde_plasma_window_add_listener(window, &kWindowListener, data);
}

constexpr org_kde_plasma_window_management_listener kManagerListener{
    [](void*, Manager*, std::uint32_t) {},                // show desktop
    onWindow,                                             // by id
    [](void*, Manager*, wl_array*) {},                    // stacking order
    [](void*, Manager*, const char*) {},                  // stacking order by uuid
    [](void*, Manager*, std::uint32_t, const char*) {}};  // window by uuid

}  // namespace

void bindPlasmaWindows(Session& s) {
  s.plasmaManager = static_cast<Manager*>(wl_registry_bind(
      s.registry, s.globals.plasmaWindows, &org_kde_plasma_window_management_interface,
      std::min(s.globals.plasmaWindowsVersion, kVersion)));
  org_kde_plasma_window_management_add_listener(s.plasmaManager, &kManagerListener, &s);
}

void releasePlasmaWindows(Session& s) {
  for (const auto& window : s.plasmaWindows) org_kde_plasma_window_destroy(window.first);
  s.plasmaWindows.clear();
  if (s.plasmaManager) org_kde_plasma_window_management_destroy(s.plasmaManager);
  s.plasmaManager = nullptr;
}

}  // namespace trovik
