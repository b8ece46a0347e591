#include "platform/linux/keyboard/linux_keyboard.hpp"

#include <cstdlib>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "platform/linux/keyboard/uinput_keyboard.hpp"
#include "platform/linux/keyboard/xtest_keyboard.hpp"
#include "platform/linux/wayland/wayland_keyboard.hpp"

namespace trovik {
namespace {

std::string envOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::vector<std::unique_ptr<KeySink>> makeSinks(const LinuxKeyboardOptions& options) {
  std::vector<std::unique_ptr<KeySink>> sinks;
  auto uinput = UinputKeyboard::onPath(options.uinputPath);
  const KeySink* preferred = uinput.get();
  sinks.push_back(std::move(uinput));

  const std::string wayland = options.wayland ? *options.wayland : envOrEmpty("WAYLAND_DISPLAY");
  const KeySink* compositor = nullptr;
  if (!wayland.empty()) {
    sinks.push_back(
        std::make_unique<WaylandKeyboard>(wayland, [preferred] { return preferred->usable(); }));
    compositor = sinks.back().get();
  }
  const auto typing = [preferred, compositor] {
    return preferred->usable() || (compositor && compositor->usable());
  };

  const std::string display = options.display ? *options.display : envOrEmpty("DISPLAY");
  if (!display.empty()) {
    if (!typing() && !envOrEmpty("WAYLAND_DISPLAY").empty()) {
      diagnose("keyboard", "under Wayland, XTest reaches X11 (Xwayland) applications only");
    }
    // The sinks end last first, so those before outlive XTest's questions about them.
    sinks.push_back(std::make_unique<XTestKeyboard>(display, typing));
  }
  return sinks;
}

std::string guidance(const std::string& problems) {
  std::string text = "Trovik Helper cannot type the keys your tablet sends";
  text += problems.empty() ? "." : " (" + problems + ").";
  text +=
      " Install 70-trovik-helper-uinput.rules into /etc/udev/rules.d, run \"sudo modprobe "
      "uinput\" and log in again; on X11 (through XTest), on sway and other wlroots "
      "desktops, and on KDE Plasma once installed (through the compositor) it can also type "
      "when started inside your desktop session. See \"Granting keyboard access\" in the README.";
  return text;
}

}  // namespace

LinuxKeyboard::LinuxKeyboard(const LinuxKeyboardOptions& options)
    : LinuxKeyboard(makeSinks(options), std::make_unique<NotificationPrompt>(
                                            options.sessionBus, options.promptFallbackFd)) {}

LinuxKeyboard::LinuxKeyboard(std::vector<std::unique_ptr<KeySink>> sinks,
                             std::unique_ptr<NotificationPrompt> prompt)
    : sinks_(std::move(sinks)), prompt_(std::move(prompt)) {}

LinuxKeyboard::~LinuxKeyboard() {
  while (!sinks_.empty()) sinks_.pop_back();
}

bool LinuxKeyboard::press(KeyCode key, bool shift) {
  const auto code = evdevKeyCode(key);
  if (!code) return false;
  for (const auto& sink : sinks_) {
    if (sink->usable()) return sink->press(*code, shift);
  }
  return false;
}

bool LinuxKeyboard::isScreenLocked() {
  return locked_ && locked_();
}

void LinuxKeyboard::setChangeHandler(std::function<void()> changed) {
  changed_ = std::move(changed);
}

bool LinuxKeyboard::isProcessTrusted() {
  if (isScreenLocked()) return false;
  for (const auto& sink : sinks_) {
    if (sink->usable()) return true;
  }
  return false;
}

bool LinuxKeyboard::isProcessTrustedWithPrompt() {
  if (isProcessTrusted()) return true;
  if (isScreenLocked()) return false;  // no want of access: nothing to grant
  std::string problems;
  for (const auto& sink : sinks_) {
    const std::string problem = sink->problem();
    if (problem.empty()) continue;
    if (!problems.empty()) problems += "; ";
    problems += problem;
  }
  prompt_->show("Trovik Helper needs keyboard access", guidance(problems));
  return false;
}

}  // namespace trovik
