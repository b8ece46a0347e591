#include "support/x_windows.hpp"

#include <cstdlib>

namespace trovik::testing {

std::unique_ptr<XWindows> XWindows::open(const std::string& display, std::string& error) {
  std::unique_ptr<XWindows> windows(new XWindows(xcb_connect(display.c_str(), nullptr)));
  xcb_connection_t* c = windows->c_;
  if (xcb_connection_has_error(c)) {
    error = "cannot connect to " + display;
    return nullptr;
  }
  windows->root_ = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const std::string_view names[] = {"_NET_ACTIVE_WINDOW", "_GTK_APPLICATION_ID", "UTF8_STRING"};
  for (int i = 0; i < 3; ++i) {
    auto* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, std::uint16_t(names[i].size()), names[i].data()), nullptr);
    windows->atoms_[i] = reply ? reply->atom : XCB_NONE;
    std::free(reply);
  }
  return windows;
}

xcb_window_t XWindows::make(std::string_view wmClass, std::string_view gtkApplicationId) {
  const xcb_window_t window = xcb_generate_id(c_);
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 10, 10, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  const std::string classes = "instance" + std::string(1, '\0') + std::string(wmClass) + '\0';
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      std::uint32_t(classes.size()), classes.data());
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atoms_[1], atoms_[2], 8,
                      std::uint32_t(gtkApplicationId.size()), gtkApplicationId.data());
  sync();
  return window;
}

void XWindows::activate(xcb_window_t window, bool wait) {
  xcb_change_property(c_, XCB_PROP_MODE_REPLACE, root_, atoms_[0], XCB_ATOM_WINDOW, 32, 1, &window);
  if (wait) sync();
}

void XWindows::destroy(xcb_window_t window) {
  xcb_destroy_window(c_, window);
  xcb_flush(c_);
}

void XWindows::sync() {
  std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

}  // namespace trovik::testing
