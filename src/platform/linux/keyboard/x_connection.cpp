#include "platform/linux/keyboard/x_connection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <xcb/xtest.h>

#include <cerrno>
#include <cstdlib>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "platform/linux/x11_connect.hpp"

namespace trovik {
namespace {

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

std::unique_ptr<XConnection> XConnection::open(const std::string& display, std::string& why) {
  const std::string name = nameOf(display);
  const char* fromEnvironment = std::getenv("DISPLAY");
  const std::string target = display.empty() && fromEnvironment ? fromEnvironment : display;
  // Through the thread-safe connect: the workspace connects to the same display at launch.
  std::unique_ptr<XConnection> connection(new XConnection(connectToDisplay(target, nullptr)));
  xcb_connection_t* c = connection->get();
  if (xcb_connection_has_error(c)) {
    why = "cannot connect to the X display " + name;
  } else if (!hasXTest(c)) {
    why = "the X display " + name + " has no XTEST extension";
  } else if (!keycodesFit(c)) {
    why = "the keycodes of the X display " + name + " do not cover the keys";
  }
  if (!why.empty()) return nullptr;
  if (!keycodesLookLikeEvdev(c)) {
    diagnose("keyboard",
             "the X display " + name +
                 " does not number keys as evdev does; keys may land on other positions");
  }
  return connection;
}

XConnection::XConnection(xcb_connection_t* c) : c_(c) {
  // A press goes out only while the socket has room (xcb writes no sooner), and each press is
  // a buffer of its own: the more room, the longer a busy server may lag without a press
  // being turned away. The kernel caps this at net.core.wmem_max.
  const int size = 4 << 20;
  if (!xcb_connection_has_error(c_)) setsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

std::string XConnection::nameOf(const std::string& display) {
  if (!display.empty()) return display;
  const char* env = std::getenv("DISPLAY");
  return env && *env ? env : "(DISPLAY is not set)";
}

bool XConnection::alive() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) std::free(event);
  return !xcb_connection_has_error(c_);
}

bool XConnection::waitWritable(std::chrono::milliseconds timeout) const {
  if (xcb_connection_has_error(c_)) return false;
  pollfd socket{fd(), POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&socket, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  // Room means at least a quarter of the send buffer, far more than one press needs.
  return ready == 1 && socket.revents == POLLOUT;
}

void XConnection::shutDown() const {
  ::shutdown(fd(), SHUT_RDWR);
}

}  // namespace trovik
