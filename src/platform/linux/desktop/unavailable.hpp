#pragma once

#include <mutex>
#include <string_view>

#include "platform/status_bar.hpp"
#include "platform/workspace.hpp"

// Services this machine does not offer (yet): each behaves as "nothing there" and says so
// once on standard error, the first time the agent uses it.
namespace trovik {

class SayOnce {
 public:
  SayOnce(std::string_view service, std::string_view message)
      : service_(service), message_(message) {}
  void operator()();

 private:
  std::once_flag once_;
  const std::string_view service_;
  const std::string_view message_;
};

// No frontmost application, no activation events, no links opened.
class UnavailableWorkspace final : public Workspace {
 public:
  std::optional<RunningApplication> frontmostApplication() override;
  void addActivationObserver(ActivationHandler) override { say_(); }
  bool openURL(const std::string& url) override;

 private:
  SayOnce say_{"workspace", "not available here; no editor is seen in front"};
};

class UnavailableStatusBar final : public StatusBar {
 public:
  std::shared_ptr<StatusItem> statusItemWithLength(double) override;

 private:
  SayOnce say_{"status item", "not available here; no tray icon (stop with Ctrl+C)"};
};

}  // namespace trovik
