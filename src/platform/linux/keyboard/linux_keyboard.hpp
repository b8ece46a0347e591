#pragma once

#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/keyboard.hpp"
#include "platform/linux/desktop/notification_prompt.hpp"
#include "platform/linux/keyboard/key_sink.hpp"
#include "platform/trust.hpp"

namespace trovik {

struct LinuxKeyboardOptions {
  std::string uinputPath = "/dev/uinput";
  // The X display for XTest; absent: $DISPLAY; empty: no XTest.
  std::optional<std::string> display;
  // The Wayland compositor for its virtual keyboard; absent: $WAYLAND_DISPLAY; empty: none.
  std::optional<std::string> wayland;
  // Where the access prompt sends its notification; empty: the user's session bus.
  std::string sessionBus;
  // Where the access prompt writes its guidance when no notification service answers.
  int promptFallbackFd = STDERR_FILENO;
};

// Types through the first usable of its sinks, translating macOS key codes to evdev ones.
//
// Linux has no per-process keyboard permission: the process may type while one of its sinks
// can reach a device (a uinput device, a live X connection with XTEST). The sinks keep their
// devices alive themselves, so the question costs a few atomic reads and always tells the
// state of the devices at that moment. The prompt tells the user how to grant that access.
class LinuxKeyboard final : public Keyboard, public Trust {
 public:
  // A uinput virtual keyboard, made at once when it can be, then the Wayland compositor's
  // virtual keyboard, then XTest on the X display, each while those before are unusable. Make it at
  // launch: a new uinput device needs a moment before the desktop sees it.
  explicit LinuxKeyboard(const LinuxKeyboardOptions& options = {});
  // `sinks` in order of preference.
  LinuxKeyboard(std::vector<std::unique_ptr<KeySink>> sinks,
                std::unique_ptr<NotificationPrompt> prompt);
  ~LinuxKeyboard() override;
  LinuxKeyboard(const LinuxKeyboard&) = delete;
  LinuxKeyboard& operator=(const LinuxKeyboard&) = delete;

  bool press(KeyCode key, bool shift) override;
  bool isProcessTrusted() override;
  bool isProcessTrustedWithPrompt() override;
  bool isScreenLocked() override;
  void setChangeHandler(std::function<void()> changed) override;

  // While `locked` says so, keys wait for the user to come back. Before the agent starts.
  void followScreenLock(std::function<bool()> locked) { locked_ = std::move(locked); }
  // The screen locked or unlocked: tells the agent. Main thread.
  void screenLockChanged() {
    if (changed_) changed_();
  }

 private:
  std::vector<std::unique_ptr<KeySink>> sinks_;
  std::unique_ptr<NotificationPrompt> prompt_;
  std::function<bool()> locked_;
  std::function<void()> changed_;
};

}  // namespace trovik
