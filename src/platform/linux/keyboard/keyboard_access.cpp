#include "platform/linux/keyboard/keyboard_access.hpp"

#include <string>

namespace trovik {
namespace {

std::string guidance(const std::string& problems) {
  std::string text = "Trovik Helper cannot type the keys your tablet sends";
  text += problems.empty() ? "." : " (" + problems + ").";
  text +=
      " Install 70-trovik-helper-uinput.rules into /etc/udev/rules.d, run \"sudo modprobe "
      "uinput\" and log in again; on X11 it can also type through XTest when started inside "
      "your desktop session. See \"Granting keyboard access\" in the README.";
  return text;
}

}  // namespace

KeyboardAccess::KeyboardAccess(SequencedKeyboard& keyboard,
                               std::unique_ptr<NotificationPrompt> prompt)
    : keyboard_(keyboard), prompt_(std::move(prompt)) {}

bool KeyboardAccess::isProcessTrusted() {
  return keyboard_.usable();
}

bool KeyboardAccess::isProcessTrustedWithPrompt() {
  if (keyboard_.usable()) return true;
  prompt_->show("Trovik Helper needs keyboard access", guidance(keyboard_.problems()));
  return false;
}

}  // namespace trovik
