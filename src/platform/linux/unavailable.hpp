#pragma once

#include <mutex>
#include <string_view>

#include "platform/keyboard_events.hpp"
#include "platform/status_bar.hpp"
#include "platform/system.hpp"
#include "platform/trust.hpp"
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

// Never trusted, so the agent posts nothing; events that are created anyway go nowhere.
class UnavailableKeyboard final : public KeyboardEvents, public Trust {
 public:
  std::unique_ptr<EventSource> createSource(EventSourceState) override { return nullptr; }
  std::optional<KeyboardEvent> createKeyboardEvent(EventSource*, KeyCode, bool) override;
  void post(EventTap, const KeyboardEvent&) override {}
  bool isProcessTrusted() override;
  bool isProcessTrustedWithPrompt() override { return isProcessTrusted(); }

 private:
  SayOnce say_{"keyboard", "not available here; commands are logged but no key is posted"};
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

class UnavailableHostInfo final : public HostInfo {
 public:
  std::optional<std::string> localizedName() override;

 private:
  SayOnce say_{"host name", "not available here; the computer is called \"Mac\""};
};

class UnavailableLoginItems final : public LoginItems {
 public:
  LoginItemStatus status() override;
  std::optional<std::string> registerItem() override;
  std::optional<std::string> unregisterItem() override { return registerItem(); }
  void openSystemSettingsLoginItems() override { say_(); }

 private:
  SayOnce say_{"login items", "not available here; Open at Login stays off"};
};

}  // namespace trovik
