#include "platform/linux/keyboard/keyboard_backend.hpp"

#include <cstdlib>
#include <vector>

#include "platform/linux/keyboard/keyboard_access.hpp"
#include "platform/linux/stdout_log.hpp"
#include "platform/linux/keyboard/uinput_keyboard.hpp"
#include "platform/linux/keyboard/xtest_keyboard.hpp"

namespace trovik {
namespace {

std::string envOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

KeyboardBackend makeKeyboardBackend(const KeyboardBackendOptions& options) {
  std::vector<std::unique_ptr<KeySink>> sinks;
  auto uinput = UinputKeyboard::onPath(options.uinputPath);
  const bool uinputReady = uinput->usable();
  sinks.push_back(std::move(uinput));

  const std::string display = options.display ? *options.display : envOrEmpty("DISPLAY");
  if (!display.empty()) {
    if (!uinputReady && !envOrEmpty("WAYLAND_DISPLAY").empty()) {
      diagnose("keyboard", "under Wayland, XTest reaches X11 (Xwayland) applications only");
    }
    sinks.push_back(std::make_unique<XTestKeyboard>(display));
  }

  auto keyboard = std::make_unique<SequencedKeyboard>(std::move(sinks));
  auto prompt = std::make_unique<NotificationPrompt>(options.sessionBus, options.promptFallbackFd);
  auto trust = std::make_unique<KeyboardAccess>(*keyboard, std::move(prompt));
  return KeyboardBackend{std::move(keyboard), std::move(trust)};
}

}  // namespace trovik
