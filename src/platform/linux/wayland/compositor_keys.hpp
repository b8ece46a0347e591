#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/wayland/us_keymap.hpp"
#include "platform/linux/wayland/wayland_display.hpp"

struct wl_display;
struct wl_registry;
struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct org_kde_kwin_fake_input;

namespace trovik {

// One connection to a compositor and the keyboard made on it: a wlroots virtual keyboard,
// else KWin's fake input.
struct KeyboardConnection {
  ~KeyboardConnection();
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  zwp_virtual_keyboard_manager_v1* manager = nullptr;
  zwp_virtual_keyboard_v1* keyboard = nullptr;
  org_kde_kwin_fake_input* fakeInput = nullptr;
  WaylandGlobals globals;
  std::string compositor;
};

// Makes the keyboard once `c.globals` are in; false, with why, when the compositor offers
// none. The compositor's verdict comes with the next round trip.
bool makeCompositorKeyboard(KeyboardConnection& c, const UsKeymap& keymap, std::string& why);

// Queues one press, with Shift held around it when `shift`.
void queuePress(KeyboardConnection& c, const UsKeymap& keymap, std::uint16_t evdevCode, bool shift);

}  // namespace trovik
