#pragma once

#include <functional>
#include <optional>
#include <string>

namespace trovik {

struct RunningApplication {
  std::optional<std::string> bundleIdentifier;
};

// The desktop session: which application is in front, and links to open. Main thread only.
class Workspace {
 public:
  // Called on the main thread for every activation; the event may name no application.
  using ActivationHandler = std::function<void(const std::optional<RunningApplication>& app)>;

  virtual ~Workspace() = default;
  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  // Registered for the life of the process.
  virtual void addActivationObserver(ActivationHandler handler) = 0;
  // True when the link was handed to something that opens it.
  virtual bool openURL(const std::string& url) = 0;
};

}  // namespace trovik
