#include "platform/linux/wayland/us_keymap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>

namespace trovik {

std::optional<UsKeymap> makeUsKeymap() {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (!context) return std::nullopt;
  const xkb_rule_names us{"evdev", "pc105", "us", "", ""};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &us, XKB_KEYMAP_COMPILE_NO_FLAGS);
  std::optional<UsKeymap> made;
  if (keymap) {
    char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    if (text && shift != XKB_MOD_INVALID) made = UsKeymap{text, 1u << shift};
    std::free(text);
    xkb_keymap_unref(keymap);
  }
  xkb_context_unref(context);
  return made;
}

int keymapFile(const std::string& text) {
  const int fd = memfd_create("trovik-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  const char* next = text.c_str();
  for (std::size_t left = text.size() + 1; left > 0;) {
    const ssize_t written = ::write(fd, next, left);
    if (written <= 0) {
      ::close(fd);
      return -1;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  return fd;
}

}  // namespace trovik
