#pragma once

namespace trovik {

// Whether this process may inject keyboard input. Asked anew on every call; thread-safe.
class Trust {
 public:
  virtual ~Trust() = default;
  virtual bool isProcessTrusted() = 0;
  // Same answer, but when untrusted the platform also tells the user how to grant access.
  // Never blocks on the user.
  virtual bool isProcessTrustedWithPrompt() = 0;
};

}  // namespace trovik
