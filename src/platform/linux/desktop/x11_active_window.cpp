#include "platform/linux/desktop/x11_active_window.hpp"

#include <xcb/xcbext.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "platform/linux/desktop/application_identity.hpp"
#include "platform/linux/x11_connect.hpp"

namespace trovik {
namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using PropertyReply = std::unique_ptr<xcb_get_property_reply_t, FreeDeleter>;

// Identities are short; a longer value is read in part rather than in many requests.
constexpr std::uint32_t kMaxPropertyWords = 1024;

unsigned requestProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
  return xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxPropertyWords)
      .sequence;
}

// The reply to `request`, null for an error (such as a window that is gone); nothing when
// it has not arrived yet and `block` is not set.
std::optional<PropertyReply> takeReply(xcb_connection_t* c, unsigned request, bool block) {
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  if (block) {
    reply = xcb_wait_for_reply(c, request, &error);
  } else if (!xcb_poll_for_reply(c, request, &reply, &error)) {
    return std::nullopt;
  }
  std::free(error);
  return PropertyReply(static_cast<xcb_get_property_reply_t*>(reply));
}

std::string_view bytesOf(const PropertyReply& reply) {
  if (!reply || reply->format != 8) return {};
  return {static_cast<const char*>(xcb_get_property_value(reply.get())),
          static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

// A text property up to its first NUL; absent when empty.
std::optional<std::string> textOf(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  if (bytes.empty()) return std::nullopt;
  return std::string(bytes);
}

// WM_CLASS holds "instance\0class\0"; the class names the application.
std::optional<std::string> classOf(std::string_view bytes) {
  const auto end = bytes.find('\0');
  return end == std::string_view::npos ? std::nullopt : textOf(bytes.substr(end + 1));
}

xcb_window_t windowOf(const PropertyReply& reply) {
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
    return XCB_NONE;
  }
  return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
}

}  // namespace

ActiveWindowQuery::ActiveWindowQuery(xcb_connection_t* c, xcb_window_t root, const X11Atoms& atoms)
    : c_(c), atoms_(atoms), windowRequest_(requestProperty(c, root, atoms.activeWindow)) {
  xcb_flush(c_);
}

bool ActiveWindowQuery::advance(bool block) {
  if (windowRequest_) {
    auto reply = takeReply(c_, *windowRequest_, block);
    if (!reply) return false;
    windowRequest_.reset();
    const xcb_window_t window = windowOf(*reply);
    if (window == XCB_NONE) return done_ = true;
    const xcb_atom_t properties[] = {atoms_.gtkApplicationId, atoms_.kdeDesktopFile,
                                     XCB_ATOM_WM_CLASS};
    for (std::size_t i = 0; i < propertyRequests_.size(); ++i) {
      propertyRequests_[i] = requestProperty(c_, window, properties[i]);
    }
    xcb_flush(c_);
  }
  if (done_) return true;
  // In request order, stopping at the first reply not yet here: checking a later one reads
  // the socket, and could leave an earlier reply in xcb's buffer with nothing left to wake us.
  for (std::size_t i = 0; i < propertyRequests_.size(); ++i) {
    if (!propertyRequests_[i]) continue;
    auto reply = takeReply(c_, *propertyRequests_[i], block);
    if (!reply) return false;
    propertyRequests_[i].reset();
    const std::string_view bytes = bytesOf(*reply);
    properties_[i] = i == 2 ? classOf(bytes) : textOf(bytes);
  }
  application_ = applicationIdentifier({properties_[0], properties_[1], properties_[2]});
  return done_ = true;
}

ActiveWindowWatch watchActiveWindow(const std::string& display) {
  ActiveWindowWatch watch;
  int screenNumber = 0;
  xcb_connection_t* c = connectToDisplay(display, &screenNumber);
  const auto fail = [&](const std::string& why) {
    xcb_disconnect(c);
    watch.problem = why;
    return watch;
  };
  if (xcb_connection_has_error(c)) return fail("cannot connect to the X display " + display);
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && screens.rem > 1; ++i) xcb_screen_next(&screens);
  watch.root = screens.data->root;

  const auto intern = [c](std::string_view name) {
    return xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data());
  };
  const xcb_intern_atom_cookie_t cookies[] = {intern("_NET_ACTIVE_WINDOW"),
                                              intern("_GTK_APPLICATION_ID"),
                                              intern("_KDE_NET_WM_DESKTOP_FILE")};
  xcb_atom_t* atoms[] = {&watch.atoms.activeWindow, &watch.atoms.gtkApplicationId,
                         &watch.atoms.kdeDesktopFile};
  for (std::size_t i = 0; i < std::size(cookies); ++i) {
    std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> reply(
        xcb_intern_atom_reply(c, cookies[i], nullptr));
    if (reply) *atoms[i] = reply->atom;
  }
  // Subscribed before the first reading, so that no change after it goes unseen.
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  std::free(xcb_request_check(
      c, xcb_change_window_attributes_checked(c, watch.root, XCB_CW_EVENT_MASK, &mask)));
  ActiveWindowQuery query(c, watch.root, watch.atoms);
  query.advance(true);
  if (xcb_connection_has_error(c) || watch.atoms.activeWindow == XCB_NONE) {
    return fail("lost the connection to the X display " + display + " while connecting");
  }
  watch.application = query.application();
  watch.connection = c;
  return watch;
}

}  // namespace trovik
