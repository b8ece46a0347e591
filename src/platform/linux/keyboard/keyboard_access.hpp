#pragma once

#include <memory>

#include "platform/linux/desktop/notification_prompt.hpp"
#include "platform/linux/keyboard/sequenced_keyboard.hpp"
#include "platform/trust.hpp"

namespace trovik {

// Linux has no per-process keyboard permission: the process may type while one of its
// keyboards can reach a device (a usable uinput device, a live X connection with XTEST).
// The prompt tells the user how to grant that access. Thread-safe.
class KeyboardAccess final : public Trust {
 public:
  // `keyboard` outlives this object.
  KeyboardAccess(SequencedKeyboard& keyboard, std::unique_ptr<NotificationPrompt> prompt);

  bool isProcessTrusted() override;
  bool isProcessTrustedWithPrompt() override;

 private:
  SequencedKeyboard& keyboard_;
  std::unique_ptr<NotificationPrompt> prompt_;
};

}  // namespace trovik
