#include "platform/linux/wayland/compositor_keys.hpp"

#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>

#include "fake-input-client-protocol.h"
#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace trovik {

KeyboardConnection::~KeyboardConnection() {
  if (keyboard) zwp_virtual_keyboard_v1_destroy(keyboard);
  if (manager) zwp_virtual_keyboard_manager_v1_destroy(manager);
  if (fakeInput) org_kde_kwin_fake_input_destroy(fakeInput);
  if (seat) wl_seat_destroy(seat);
  if (registry) wl_registry_destroy(registry);
  wl_display_disconnect(display);
}

bool makeCompositorKeyboard(KeyboardConnection& c, const UsKeymap& keymap, std::string& why) {
  // KWin's keys come with its own keymap: no seat or keymap of ours is needed.
  if (!c.globals.virtualKeyboards && c.globals.fakeInputVersion >= kFakeInputKeysSince) {
    c.fakeInput = static_cast<org_kde_kwin_fake_input*>(
        wl_registry_bind(c.registry, c.globals.fakeInput, &org_kde_kwin_fake_input_interface,
                         std::min<std::uint32_t>(c.globals.fakeInputVersion,
                                                 org_kde_kwin_fake_input_interface.version)));
    org_kde_kwin_fake_input_authenticate(c.fakeInput, "Trovik Helper",
                                         "types the keys a tablet on the network sends");
    return true;
  }
  if (!c.globals.seat || !c.globals.virtualKeyboards) {
    why = "the Wayland compositor " + c.compositor + " offers no virtual keyboard";
    return false;
  }
  c.seat =
      static_cast<wl_seat*>(wl_registry_bind(c.registry, c.globals.seat, &wl_seat_interface, 1));
  c.manager = static_cast<zwp_virtual_keyboard_manager_v1*>(wl_registry_bind(
      c.registry, c.globals.virtualKeyboards, &zwp_virtual_keyboard_manager_v1_interface, 1));
  c.keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(c.manager, c.seat);
  const int fd = keymapFile(keymap.text);
  if (fd < 0) {
    why = "no memory file for the keymap";
    return false;
  }
  zwp_virtual_keyboard_v1_keymap(c.keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                 static_cast<std::uint32_t>(keymap.text.size() + 1));
  ::close(fd);
  return true;
}

void queuePress(KeyboardConnection& c, const UsKeymap& keymap, std::uint16_t evdevCode,
                bool shift) {
  if (c.fakeInput) {
    // KWin follows the modifiers from the keys themselves.
    const auto key = [&c](std::uint16_t code, bool down) {
      org_kde_kwin_fake_input_keyboard_key(
          c.fakeInput, code, down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    };
    if (shift) key(kEvdevLeftShift, true);
    key(evdevCode, true);
    key(evdevCode, false);
    if (shift) key(kEvdevLeftShift, false);
    return;
  }
  const auto time =
      static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  zwp_virtual_keyboard_v1* k = c.keyboard;
  if (shift) {
    zwp_virtual_keyboard_v1_key(k, time, kEvdevLeftShift, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_modifiers(k, keymap.shift, 0, 0, 0);
  }
  zwp_virtual_keyboard_v1_key(k, time, evdevCode, WL_KEYBOARD_KEY_STATE_PRESSED);
  zwp_virtual_keyboard_v1_key(k, time, evdevCode, WL_KEYBOARD_KEY_STATE_RELEASED);
  if (shift) {
    zwp_virtual_keyboard_v1_key(k, time, kEvdevLeftShift, WL_KEYBOARD_KEY_STATE_RELEASED);
    zwp_virtual_keyboard_v1_modifiers(k, 0, 0, 0, 0);
  }
}

}  // namespace trovik
