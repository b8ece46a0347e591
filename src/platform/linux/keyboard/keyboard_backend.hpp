#pragma once

#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/keyboard.hpp"
#include "platform/trust.hpp"

namespace trovik {

struct KeyboardBackendOptions {
  std::string uinputPath = "/dev/uinput";
  // The X display for XTest; absent: $DISPLAY; empty: no XTest.
  std::optional<std::string> display;
  // Where the access prompt sends its notification; empty: the user's session bus.
  std::string sessionBus;
  // Where the access prompt writes its guidance when no notification service answers.
  int promptFallbackFd = STDERR_FILENO;
};

// The keyboard and its access check. `trust` refers to `events`: keep them together (the
// member order destroys `trust` first).
struct KeyboardBackend {
  std::unique_ptr<Keyboard> events;
  std::unique_ptr<Trust> trust;
};

// Creates the uinput virtual keyboard at once when it can, falling back to XTest on the X
// display; with neither, the access check answers false until one becomes usable. Call it
// at launch: a new uinput device needs a moment before the desktop sees it.
KeyboardBackend makeKeyboardBackend(const KeyboardBackendOptions& options = {});

}  // namespace trovik
