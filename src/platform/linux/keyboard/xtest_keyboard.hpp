#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/linux/keyboard/key_sink.hpp"

namespace trovik {

// Presses sent to an X server as XTest fake input (X11 only), each as one flush. The X keycode
// of an evdev code is the code + 8, checked against the server's keycode range.
//
// A keeper thread owns the connection: it makes it, at most once per retry interval, and
// probes the server with a round trip about every second. A server that does not answer
// within 250 ms counts as stopped until it answers again; one that closes the connection is
// noticed at once. Neither a press nor usable() ever waits on the server: a press that finds
// no room in the socket is not made, and has the keeper probe at once.
class XTestKeyboard final : public KeySink {
 public:
  // `display` as in $DISPLAY; empty: $DISPLAY itself. While `standby` answers true (another
  // sink is typing), it does not connect. Waits up to a second for the first connection.
  explicit XTestKeyboard(std::string display = {}, std::function<bool()> standby = {});
  // Returns within 300 ms, even while the keeper waits for a server that has stopped.
  ~XTestKeyboard() override;
  XTestKeyboard(const XTestKeyboard&) = delete;
  XTestKeyboard& operator=(const XTestKeyboard&) = delete;

  bool usable() const override;
  bool press(std::uint16_t evdevCode, bool shift) override;
  std::string problem() const override;

  // How many connection attempts have ended; lets tests see that reconnecting is throttled.
  int connectAttempts() const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the keeper, which may outlive this object
  std::thread keeper_;
};

}  // namespace trovik
