#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <memory>
#include <string>

namespace trovik {

// X servers that take their keycodes from evdev (Xorg, Xwayland, Xvfb) add 8.
inline constexpr int kEvdevToX = 8;

// A connection to an X server that XTest can type through: the server has the XTEST
// extension and a keycode for every key. Usable from any thread, as xcb is.
class XConnection {
 public:
  // Connects to `display` (as in $DISPLAY; empty: $DISPLAY itself). Blocks while the server
  // does not answer. Null, with `why` set in words for the user, when it cannot type there.
  static std::unique_ptr<XConnection> open(const std::string& display, std::string& why);
  // `display` as the user knows it.
  static std::string nameOf(const std::string& display);

  ~XConnection() { xcb_disconnect(c_); }
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* get() const { return c_; }
  int fd() const { return xcb_get_file_descriptor(c_); }
  // Reads whatever the server has sent, without waiting; false once the connection is gone.
  bool alive();
  // Waits up to `timeout` until the socket has room for a few requests, which then go out
  // whole without blocking; false when the server makes none or the connection is gone.
  bool waitWritable(std::chrono::milliseconds timeout) const;
  // Ends the connection for every thread that uses it: their reads and writes fail at once.
  void shutDown() const;

 private:
  explicit XConnection(xcb_connection_t* c);
  xcb_connection_t* c_;
};

}  // namespace trovik
