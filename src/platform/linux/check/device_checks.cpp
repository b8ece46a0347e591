// The checks of what the agent reaches on this computer's desktop: a keyboard to type with,
// and an X display that says which window is in front.

#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/linux/check/check.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "platform/linux/keyboard/uinput_device.hpp"
#include "platform/linux/keyboard/x_connection.hpp"
#include "platform/linux/wayland/wayland_display.hpp"
#include "platform/linux/x11_connect.hpp"

namespace trovik::check {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

xcb_atom_t atom(xcb_connection_t* c, std::string_view name) {
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
      xcb_intern_atom_reply(
          c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr),
      &std::free);
  return reply ? reply->atom : XCB_NONE;
}

// Whether the window manager lists _NET_ACTIVE_WINDOW among what it keeps up to date.
bool activeWindowSupported(xcb_connection_t* c, int screenNumber) {
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) return false;
  const xcb_atom_t supported = atom(c, "_NET_SUPPORTED");
  const xcb_atom_t active = atom(c, "_NET_ACTIVE_WINDOW");
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(
          c, xcb_get_property(c, 0, screens.data->root, supported, XCB_ATOM_ATOM, 0, 4096),
          nullptr),
      &std::free);
  if (!reply || reply->format != 32) return false;
  const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  for (int i = 0; i < count; ++i) {
    if (atoms[i] == active) return true;
  }
  return false;
}

// What the Wayland compositor offers, when this is a Wayland session.
WaylandOffer compositor() {
  return probeWayland(environment("WAYLAND_DISPLAY"), std::chrono::seconds(1));
}

}  // namespace

Finding keyboard() {
  const std::string service = "keyboard";
  const std::string uinputPath = LinuxKeyboardOptions().uinputPath;
  std::string uinputProblem;
  const int uinputError = UinputDevice::probe(uinputPath, uinputProblem);
  std::string xProblem = "DISPLAY is not set";
  std::unique_ptr<XConnection> x;
  if (!environment("DISPLAY").empty()) {
    xProblem.clear();
    x = XConnection::open("", xProblem);
  }
  const std::string others = x ? "" : " (XTest: " + xProblem + ")";
  if (uinputError == 0) return ok(service, "types through " + uinputPath + others);
  if (const WaylandOffer wayland = compositor(); wayland.virtualKeyboard) {
    return ok(service, "types through the compositor's virtual keyboard (" + wayland.compositor +
                           ") (uinput: " + uinputProblem + ")");
  }

  const std::string grant =
      uinputError == EACCES || uinputError == EPERM
          ? "install the package (its udev rule lets you write " + uinputPath + ") and log in again"
          : "run \"sudo modprobe uinput\"";
  if (!x) {
    return missing(service, "cannot type (uinput: " + uinputProblem + "; " + others.substr(2),
                   grant + ", or start trovik-helper inside an X11 session", true);
  }
  const std::string found =
      "types through XTest on " + XConnection::nameOf("") + " (uinput: " + uinputProblem + ")";
  if (!environment("WAYLAND_DISPLAY").empty()) {
    return warn(service, found + "; under Wayland XTest reaches X11 (Xwayland) applications only",
                grant + " to type into every application");
  }
  return ok(service, found);
}

Finding applicationInFront() {
  const std::string service = "application in front";
  const std::string todo = "start trovik-helper inside your desktop's X11 session";
  if (const WaylandOffer wayland = compositor(); wayland.toplevels) {
    return ok(service, "the compositor (" + wayland.compositor + ") says which window is in front");
  } else if (wayland.kwinScript()) {
    return ok(service, "a script that the agent loads into " + wayland.compositor +
                           " says which window is in front");
  }
  const std::string display = environment("DISPLAY");
  if (display.empty()) return missing(service, "no X display (DISPLAY is not set)", todo);
  int screen = 0;
  xcb_connection_t* c = connectToDisplay(display, &screen);
  const bool connected = !xcb_connection_has_error(c);
  const bool supported = connected && activeWindowSupported(c, screen);
  xcb_disconnect(c);
  if (!connected) return missing(service, "cannot connect to the X display " + display, todo);
  if (!supported) {
    return warn(service,
                "the window manager on " + display +
                    " does not say which window is in front (no _NET_ACTIVE_WINDOW)",
                "use a window manager that does (every common desktop's does)");
  }
  const bool wayland = !environment("WAYLAND_DISPLAY").empty();
  return ok(service, "the X display " + display + " says which window is in front" +
                         (wayland ? " (under Wayland, of X11 applications only)" : ""));
}

}  // namespace trovik::check
