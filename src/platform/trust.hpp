#pragma once

#include <functional>

namespace trovik {

// Whether this process may inject keyboard input. Thread-safe unless said otherwise.
class Trust {
 public:
  virtual ~Trust() = default;
  // Asked anew on every call; false while the user's screen is locked.
  virtual bool isProcessTrusted() = 0;
  // Same answer, but when untrusted for want of access (not for a lock) the platform also
  // tells the user how to grant it. Never blocks on the user.
  virtual bool isProcessTrustedWithPrompt() = 0;
  // Whether keys are held back because the user's screen is locked.
  virtual bool isScreenLocked() = 0;
  // `changed` runs on the main thread when the answers may have changed between two polls
  // (the screen locked or unlocked). Main thread.
  virtual void setChangeHandler(std::function<void()> changed) = 0;
};

}  // namespace trovik
