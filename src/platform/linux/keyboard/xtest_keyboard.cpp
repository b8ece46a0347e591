#include "platform/linux/keyboard/xtest_keyboard.hpp"

#include <xcb/xtest.h>

#include <cstdlib>
#include <memory>

#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "platform/linux/stdout_log.hpp"

namespace trovik {
namespace {

// X servers that take their keycodes from evdev (Xorg, Xwayland, Xvfb) add 8.
constexpr int kEvdevToX = 8;
constexpr std::uint16_t kEvdevEscape = 1;
constexpr std::uint16_t kEvdevLeft = 105;
constexpr xcb_keysym_t kKeysymEscape = 0xff1b;
constexpr xcb_keysym_t kKeysymLeft = 0xff51;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

bool hasXTest(xcb_connection_t* c) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_test_id);
  if (!ext || !ext->present) return false;
  return Reply<xcb_test_get_version_reply_t>(
             xcb_test_get_version_reply(c, xcb_test_get_version(c, 2, 2), nullptr)) != nullptr;
}

bool keycodesFit(xcb_connection_t* c) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  for (const auto code : evdevKeysDeclared()) {
    const int x = code + kEvdevToX;
    if (x < setup->min_keycode || x > setup->max_keycode) return false;
  }
  return true;
}

// Keys land by position only if the server numbers keys as evdev does; Escape and Left
// carry the same keysym in every layout, so they tell.
bool keycodesLookLikeEvdev(xcb_connection_t* c) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  const int count = setup->max_keycode - setup->min_keycode + 1;
  Reply<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
      c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr));
  if (!map || map->keysyms_per_keycode == 0) return false;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
  const auto first = [&](std::uint16_t evdev) {
    const int row = evdev + kEvdevToX - setup->min_keycode;
    const int index = row * map->keysyms_per_keycode;
    return index < xcb_get_keyboard_mapping_keysyms_length(map.get()) ? syms[index] : 0;
  };
  return first(kEvdevEscape) == kKeysymEscape && first(kEvdevLeft) == kKeysymLeft;
}

}  // namespace

XTestKeyboard::XTestKeyboard(std::string display, SteadyClock clock)
    : display_(std::move(display)), retry_(std::move(clock)) {}

XTestKeyboard::~XTestKeyboard() {
  if (connection_) xcb_disconnect(connection_);
}

bool XTestKeyboard::usable() {
  std::lock_guard lock(mutex_);
  if (connection_) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
    if (!xcb_connection_has_error(connection_)) return true;
    dropLocked("lost the connection to the X display " + displayName());
  }
  if (retry_.due()) connectLocked();
  return connection_ != nullptr;
}

EmitResult XTestKeyboard::emit(std::span<const KeyTransition> transitions) {
  std::lock_guard lock(mutex_);
  if (!connection_ || xcb_connection_has_error(connection_)) return {};
  for (const auto& t : transitions) {
    xcb_test_fake_input(connection_, t.down ? XCB_KEY_PRESS : XCB_KEY_RELEASE,
                        static_cast<std::uint8_t>(t.evdevCode + kEvdevToX), XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, 0);
  }
  // Nothing is known to have reached the server unless the whole group was written.
  if (xcb_flush(connection_) <= 0) return {};
  return {transitions.size(), true};
}

void XTestKeyboard::failed() {
  std::lock_guard lock(mutex_);
  if (connection_) dropLocked("lost the connection to the X display " + displayName());
}

std::string XTestKeyboard::problem() const {
  std::lock_guard lock(mutex_);
  return problem_;
}

int XTestKeyboard::connectAttempts() const {
  std::lock_guard lock(mutex_);
  return attempts_;
}

void XTestKeyboard::connectLocked() {
  ++attempts_;
  const std::string name = displayName();
  xcb_connection_t* c = xcb_connect(display_.empty() ? nullptr : display_.c_str(), nullptr);
  std::string why;
  if (xcb_connection_has_error(c)) {
    why = "cannot connect to the X display " + name;
  } else if (!hasXTest(c)) {
    why = "the X display " + name + " has no XTEST extension";
  } else if (!keycodesFit(c)) {
    why = "the keycodes of the X display " + name + " do not cover the keys";
  }
  if (!why.empty()) {
    xcb_disconnect(c);
    reportLocked(why);
    return;
  }
  if (!keycodesLookLikeEvdev(c)) {
    diagnose("keyboard",
             "the X display " + name +
                 " does not number keys as evdev does; keys may land on other positions");
  }
  connection_ = c;
  problem_.clear();
  diagnose("keyboard", "typing through XTest on the X display " + name);
}

void XTestKeyboard::dropLocked(const std::string& why) {
  xcb_disconnect(connection_);
  connection_ = nullptr;
  reportLocked(why);
}

void XTestKeyboard::reportLocked(const std::string& why) {
  // Said once per new reason: the retries every 2 s would otherwise flood the log.
  if (why != problem_) diagnose("keyboard", "XTest unavailable: " + why);
  problem_ = why;
}

std::string XTestKeyboard::displayName() const {
  if (!display_.empty()) return display_;
  const char* env = std::getenv("DISPLAY");
  return env && *env ? env : "(DISPLAY is not set)";
}

}  // namespace trovik
