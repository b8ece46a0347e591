// A window for tests on a Wayland compositor: an xdg toplevel with the app id given as its
// argument. It prints "ready" once shown, then "key <evdev code> <1 down, 0 up> <depressed
// modifiers>" for each key its wl_keyboard reports.

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "xdg-shell-client-protocol.h"

namespace {

struct Window {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* shell = nullptr;
  wl_seat* seat = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_surface* surface = nullptr;
  wl_buffer* buffer = nullptr;
  std::uint32_t modifiers = 0;
  bool shown = false;
};

constexpr int kSide = 32;

wl_buffer* blankBuffer(wl_shm* shm) {
  const int size = kSide * kSide * 4;
  const int fd = memfd_create("window", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, size) != 0) return nullptr;
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, kSide, kSide, kSide * 4, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return buffer;
}

void onKeymap(void*, wl_keyboard*, std::uint32_t, int fd, std::uint32_t) {
  close(fd);
}
void onEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void onLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void onKey(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key,
           std::uint32_t state) {
  std::printf("key %u %u %u\n", key, state, static_cast<Window*>(data)->modifiers);
}
void onModifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t,
                 std::uint32_t, std::uint32_t) {
  static_cast<Window*>(data)->modifiers = depressed;
}
void onRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
constexpr wl_keyboard_listener kKeyboard{onKeymap, onEnter, onLeave, onKey, onModifiers, onRepeat};

// With no keyboard at first: the compositor's keyboards come and go with the agent's.
void onCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
  auto& w = *static_cast<Window*>(data);
  if (!(capabilities & WL_SEAT_CAPABILITY_KEYBOARD) || w.keyboard) return;
  w.keyboard = wl_seat_get_keyboard(seat);
  wl_keyboard_add_listener(w.keyboard, &kKeyboard, &w);
}
void onName(void*, wl_seat*, const char*) {}
constexpr wl_seat_listener kSeat{onCapabilities, onName};

void onPing(void*, xdg_wm_base* shell, std::uint32_t serial) {
  xdg_wm_base_pong(shell, serial);
}
constexpr xdg_wm_base_listener kShell{onPing};

void onConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
  auto& w = *static_cast<Window*>(data);
  xdg_surface_ack_configure(surface, serial);
  wl_surface_attach(w.surface, w.buffer, 0, 0);
  wl_surface_commit(w.surface);
  w.shown = true;
}
constexpr xdg_surface_listener kSurface{onConfigure};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t) {
  auto& w = *static_cast<Window*>(data);
  const auto bind = [&](const wl_interface& type, std::uint32_t version) {
    return std::strcmp(interface, type.name) == 0 ? wl_registry_bind(registry, name, &type, version)
                                                  : nullptr;
  };
  if (auto* c = bind(wl_compositor_interface, 4)) w.compositor = static_cast<wl_compositor*>(c);
  if (auto* s = bind(wl_shm_interface, 1)) w.shm = static_cast<wl_shm*>(s);
  if (auto* s = bind(xdg_wm_base_interface, 1)) w.shell = static_cast<xdg_wm_base*>(s);
  if (auto* s = w.seat ? nullptr : bind(wl_seat_interface, 1)) {
    w.seat = static_cast<wl_seat*>(s);
    wl_seat_add_listener(w.seat, &kSeat, &w);
  }
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
constexpr wl_registry_listener kRegistry{onGlobal, onGlobalRemove};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  wl_display* display = wl_display_connect(nullptr);
  if (argc != 2 || !display) return 2;
  Window w;
  wl_registry_add_listener(wl_display_get_registry(display), &kRegistry, &w);
  wl_display_roundtrip(display);
  if (!w.compositor || !w.shm || !w.shell || !w.seat) return 3;
  xdg_wm_base_add_listener(w.shell, &kShell, &w);
  w.buffer = blankBuffer(w.shm);
  w.surface = wl_compositor_create_surface(w.compositor);
  xdg_surface* surface = xdg_wm_base_get_xdg_surface(w.shell, w.surface);
  xdg_surface_add_listener(surface, &kSurface, &w);
  xdg_toplevel_set_app_id(xdg_surface_get_toplevel(surface), argv[1]);
  wl_surface_commit(w.surface);
  // Ready once the compositor has taken the first frame: the window is there to focus.
  for (bool ready = false; wl_display_dispatch(display) >= 0;) {
    if (ready || !w.shown) continue;
    ready = wl_display_roundtrip(display) >= 0 && std::puts("ready") >= 0;
  }
  return 0;
}
