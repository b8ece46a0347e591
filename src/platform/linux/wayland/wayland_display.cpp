#include "platform/linux/wayland/wayland_display.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <wayland-client.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "fake-input-client-protocol.h"
#include "plasma-window-management-client-protocol.h"
#include "platform/linux/diagnostics.hpp"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace trovik {
namespace {

using Clock = std::chrono::steady_clock;

void onGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface,
              std::uint32_t version) {
  auto& globals = *static_cast<WaylandGlobals*>(data);
  const auto is = [interface](const wl_interface& known) {
    return std::strcmp(interface, known.name) == 0;
  };
  // The first seat: the one a desktop session has.
  if (is(wl_seat_interface) && !globals.seat) globals.seat = name;
  if (is(zwp_virtual_keyboard_manager_v1_interface)) globals.virtualKeyboards = name;
  if (is(zwlr_foreign_toplevel_manager_v1_interface)) globals.toplevels = name;
  // KWin offers these two only to a program whose installed desktop entry asks for them.
  if (is(org_kde_kwin_fake_input_interface)) {
    globals.fakeInput = name;
    globals.fakeInputVersion = version;
  }
  if (is(org_kde_plasma_window_management_interface)) {
    globals.plasmaWindows = name;
    globals.plasmaWindowsVersion = version;
  }
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

constexpr wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

void onSyncDone(void* data, wl_callback*, std::uint32_t) {
  *static_cast<bool*>(data) = true;
}

constexpr wl_callback_listener kSyncListener{onSyncDone};

}  // namespace

wl_registry* listGlobals(wl_display* display, WaylandGlobals& globals) {
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &globals);
  return registry;
}

bool dispatchUntil(wl_display* display, const bool& done, Clock::time_point deadline, int stopFd) {
  while (!done) {
    if (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
      continue;
    }
    wl_display_flush(display);
    std::array<pollfd, 2> fds{{{wl_display_get_fd(display), POLLIN, 0}, {stopFd, POLLIN, 0}}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || ::poll(fds.data(), fds.size(), static_cast<int>(left.count())) <= 0 ||
        fds[1].revents) {
      wl_display_cancel_read(display);
      return false;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
      return false;
    }
  }
  return true;
}

bool roundTrip(wl_display* display, Clock::time_point deadline, int stopFd) {
  bool done = false;
  wl_callback* callback = wl_display_sync(display);
  wl_callback_add_listener(callback, &kSyncListener, &done);
  const bool answered = dispatchUntil(display, done, deadline, stopFd);
  wl_callback_destroy(callback);
  return answered;
}

std::string compositorName(wl_display* display) {
  ucred peer{};
  socklen_t size = sizeof peer;
  std::string name;
  if (::getsockopt(wl_display_get_fd(display), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
      peer.pid > 0) {
    std::ifstream comm("/proc/" + std::to_string(peer.pid) + "/comm");
    std::getline(comm, name);
  }
  if (!name.empty()) return name;
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  name = desktop ? desktop : "";
  name = name.substr(0, name.find(':'));  // the first of a list such as "ubuntu:GNOME"
  return name.empty() ? "unknown" : name;
}

WaylandOffer probeWayland(const std::string& display, std::chrono::milliseconds patience,
                          std::chrono::milliseconds busy) {
  WaylandOffer offer;
  if (display.empty()) return offer;
  wl_display* connection = wl_display_connect(display.c_str());
  if (!connection) return offer;
  WaylandGlobals globals;
  wl_registry* registry = listGlobals(connection, globals);
  offer.reached = roundTrip(connection, Clock::now() + patience);
  if (!offer.reached && busy.count() > 0) {
    diagnose("wayland", "the Wayland compositor " + compositorName(connection) +
                            " has not answered within " + std::to_string(patience.count()) +
                            " ms; waiting for it");
    // Answered in order: this sync's answer comes after the globals.
    offer.reached = roundTrip(connection, Clock::now() + busy);
  }
  offer.virtualKeyboard =
      (globals.seat && globals.virtualKeyboards) || globals.fakeInputVersion >= kFakeInputKeysSince;
  offer.toplevels = globals.toplevels || globals.plasmaWindows;
  offer.compositor = compositorName(connection);
  wl_registry_destroy(registry);
  wl_display_disconnect(connection);
  return offer;
}

}  // namespace trovik
