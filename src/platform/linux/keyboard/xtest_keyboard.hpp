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
// within 250 ms, or leaves a press no room in the socket for as long, counts as stopped until
// it answers again; one that closes the connection is noticed at once. No press waits on the
// server for longer, and usable() never does.
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
  void press(std::uint16_t evdevCode, bool shift) override;
  std::string problem() const override;

  // How many connection attempts have ended; lets tests see that reconnecting is throttled.
  int connectAttempts() const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the keeper, which may outlive this object
  std::thread keeper_;
};

}  // namespace trovik
