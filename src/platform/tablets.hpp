#pragma once

#include <functional>
#include <string>

#include "platform/network.hpp"

namespace trovik {

// The tablets the user lets type, and the way to ask the user about a new one.
class Tablets {
 public:
  virtual ~Tablets() = default;

  // Whether `host` may type without asking: this computer itself, or a tablet the user
  // allowed (the same device, where its hardware address is known). Thread-safe.
  virtual bool isTrusted(const Host& host) = 0;
  // Lets `host` type from now on, across restarts. Main thread.
  virtual void trust(const Host& host) = 0;
  // No tablet is trusted any more. Main thread.
  virtual void forgetAll() = 0;
  // `changed` runs on the main thread when the list changed by other means (a command that
  // edits it). Main thread.
  virtual void setChangeHandler(std::function<void()> changed) = 0;

  // Asks the user whether the tablet at `address` may type; `answer` runs once, on the main
  // thread, with true when allowed and false when refused or closed. False, and `answer` is
  // never run, when there is no one to ask this way. Main thread.
  virtual bool ask(const std::string& address, std::function<void(bool allowed)> answer) = 0;
  // Takes back the question still open, which then gets no answer. Main thread.
  virtual void withdraw() = 0;
};

}  // namespace trovik
