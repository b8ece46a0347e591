// A window for tests on a Wayland compositor: an xdg toplevel with the app id given as its
// argument. It prints "ready" once shown, then "enter" for each time its wl_keyboard gets the
// focus and "key <evdev code> <1 down, 0 up> <depressed modifiers>" for each key it reports.

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "xdg-shell-client-protocol.h"

namespace {

wl_compositor* compositor;
wl_shm* shm;
xdg_wm_base* shell;
wl_seat* seat;
wl_keyboard* keyboard;
wl_surface* surface;
std::uint32_t modifiers;
bool shown;

// A blank frame: a window shows once it has one.
wl_buffer* blankFrame() {
  constexpr int kSide = 32, kSize = kSide * kSide * 4;
  const int fd = memfd_create("window", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, kSize) != 0) return nullptr;
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, kSize);
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, kSide, kSide, kSide * 4, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return buffer;
}

constexpr wl_keyboard_listener kKeyboard{
    [](void*, wl_keyboard*, std::uint32_t, int fd, std::uint32_t) { close(fd); },
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) { std::puts("enter"); },
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key, std::uint32_t state) {
      std::printf("key %u %u %u\n", key, state, modifiers);
    },
    [](void*, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t, std::uint32_t,
       std::uint32_t) { modifiers = depressed; },
    [](void*, wl_keyboard*, std::int32_t, std::int32_t) {}};

// No keyboard at first: the seat has one only while the agent's virtual keyboard is there.
constexpr wl_seat_listener kSeat{[](void*, wl_seat*, std::uint32_t capabilities) {
                                   if (!(capabilities & WL_SEAT_CAPABILITY_KEYBOARD) || keyboard)
                                     return;
                                   keyboard = wl_seat_get_keyboard(seat);
                                   wl_keyboard_add_listener(keyboard, &kKeyboard, nullptr);
                                 },
                                 [](void*, wl_seat*, const char*) {}};

constexpr xdg_wm_base_listener kShell{
    [](void*, xdg_wm_base*, std::uint32_t serial) { xdg_wm_base_pong(shell, serial); }};

constexpr xdg_surface_listener kSurface{[](void* frame, xdg_surface* xdg, std::uint32_t serial) {
  xdg_surface_ack_configure(xdg, serial);
  wl_surface_attach(surface, static_cast<wl_buffer*>(frame), 0, 0);
  wl_surface_commit(surface);
  shown = true;
}};

constexpr wl_registry_listener kRegistry{
    [](void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
      const auto bind = [&](auto*& global, const wl_interface& type, std::uint32_t version) {
        if (std::strcmp(interface, type.name) != 0 || global) return;
        global = static_cast<std::remove_reference_t<decltype(global)>>(
            wl_registry_bind(registry, name, &type, version));
      };
      bind(compositor, wl_compositor_interface, 4);
      bind(shm, wl_shm_interface, 1);
      bind(shell, xdg_wm_base_interface, 1);
      bind(seat, wl_seat_interface, 1);
    },
    [](void*, wl_registry*, std::uint32_t) {}};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  wl_display* display = wl_display_connect(nullptr);
  if (argc != 2 || !display) return 2;
  wl_registry_add_listener(wl_display_get_registry(display), &kRegistry, nullptr);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !shell || !seat) return 3;
  wl_seat_add_listener(seat, &kSeat, nullptr);
  xdg_wm_base_add_listener(shell, &kShell, nullptr);
  surface = wl_compositor_create_surface(compositor);
  xdg_surface* xdg = xdg_wm_base_get_xdg_surface(shell, surface);
  xdg_surface_add_listener(xdg, &kSurface, blankFrame());
  xdg_toplevel_set_app_id(xdg_surface_get_toplevel(xdg), argv[1]);
  wl_surface_commit(surface);
  // Ready once the compositor has taken the first frame: the window is there to focus.
  for (bool ready = false; wl_display_dispatch(display) >= 0;) {
    if (ready || !shown) continue;
    ready = wl_display_roundtrip(display) >= 0 && std::puts("ready") >= 0;
  }
  return 0;
}
