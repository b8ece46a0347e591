#pragma once

#include <xcb/xcb.h>

#include <mutex>
#include <string>

#include "platform/linux/keyboard/key_sink.hpp"
#include "platform/linux/retry_gate.hpp"

namespace trovik {

// Key transitions sent to an X server as XTest fake input (X11 only), flushed at once. The
// X keycode of an evdev code is the code + 8, checked against the server's keycode range.
// Connects on first use; when the connection dies, connects again at most every 2 s.
class XTestKeyboard final : public KeySink {
 public:
  // `display` as in $DISPLAY; empty: $DISPLAY itself.
  explicit XTestKeyboard(std::string display = {}, SteadyClock clock = steadyNow);
  ~XTestKeyboard() override;
  XTestKeyboard(const XTestKeyboard&) = delete;
  XTestKeyboard& operator=(const XTestKeyboard&) = delete;

  // Notices a dead connection at once: reads whatever the server has sent, without waiting.
  bool usable() override;
  EmitResult emit(std::span<const KeyTransition> transitions) override;
  void failed() override;
  std::string problem() const override;

  // How often a connection was tried; lets tests see that reconnecting is throttled.
  int connectAttempts() const;

 private:
  void connectLocked();
  void dropLocked(const std::string& why);
  void reportLocked(const std::string& why);
  std::string displayName() const;

  mutable std::mutex mutex_;
  const std::string display_;
  RetryGate retry_;
  xcb_connection_t* connection_ = nullptr;
  std::string problem_;
  int attempts_ = 0;
};

}  // namespace trovik
