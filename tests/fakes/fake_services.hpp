#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/timeline.hpp"
#include "platform/keyboard.hpp"
#include "platform/log.hpp"
#include "platform/status_bar.hpp"
#include "platform/system.hpp"
#include "platform/trust.hpp"
#include "platform/workspace.hpp"

namespace trovik::fakes {

// One key press as the agent asked for it.
struct Press {
  KeyCode key;
  bool shift;
  bool operator==(const Press&) const = default;
};

class FakeKeyboard final : public Keyboard {
 public:
  void press(KeyCode key, bool shift) override;
  std::vector<Press> presses() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Press> presses_;
};

class FakeTrust final : public Trust, public Recording {
 public:
  explicit FakeTrust(bool trusted = true) : trusted_(trusted) {}
  bool isProcessTrusted() override;
  bool isProcessTrustedWithPrompt() override;
  void set(bool trusted) { trusted_ = trusted; }
  int queries() const { return queries_; }
  int prompts() const { return prompts_; }

 private:
  std::atomic<bool> trusted_;
  std::atomic<int> queries_{0};
  std::atomic<int> prompts_{0};
};

class FakeLog final : public Log {
 public:
  void line(std::string_view text) override;
  std::vector<std::string> lines() const;
  // Lines that begin with `prefix`.
  std::vector<std::string> linesStartingWith(std::string_view prefix) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class FakeWorkspace final : public Workspace, public Recording {
 public:
  std::optional<RunningApplication> frontmostApplication() override;
  void addActivationObserver(ActivationHandler handler) override;
  bool openURL(const std::string& url) override;

  // Delivers an activation to every observer, as the desktop would on the main thread.
  void activate(std::optional<RunningApplication> app);
  void activate(const std::string& bundleID) { activate(RunningApplication{bundleID}); }
  std::optional<RunningApplication> frontmost;
  std::vector<std::string> openedURLs;
  std::size_t observerCount() const { return observers_.size(); }

 private:
  std::vector<ActivationHandler> observers_;
};

class FakeStatusItem final : public StatusItem, public StatusBarButton {
 public:
  explicit FakeStatusItem(bool withButton) : withButton_(withButton) {}
  StatusBarButton* button() override { return withButton_ ? this : nullptr; }
  void setMenu(std::shared_ptr<Menu> menu) override { menu_ = std::move(menu); }
  void setImage(const std::string& symbol, const std::string& description) override {
    imageSymbol = symbol;
    imageDescription = description;
  }
  std::shared_ptr<Menu> menu() const { return menu_; }
  std::string imageSymbol;
  std::string imageDescription;

 private:
  bool withButton_;
  std::shared_ptr<Menu> menu_;
};

class FakeStatusBar final : public StatusBar, public Recording {
 public:
  std::shared_ptr<StatusItem> statusItemWithLength(double length) override;
  bool available = true;
  bool withButton = true;
  std::vector<double> requestedLengths;
  std::shared_ptr<FakeStatusItem> item;
};

class FakeHostInfo final : public HostInfo, public Recording {
 public:
  std::optional<std::string> localizedName() override;
  std::optional<std::string> name = "Studio Mac";
  int queries = 0;
};

// The login-item service: register and unregister move the status unless told to fail.
class FakeLoginItems final : public LoginItems, public Recording {
 public:
  LoginItemStatus status() override;
  std::optional<std::string> registerItem() override;
  std::optional<std::string> unregisterItem() override;
  void openSystemSettingsLoginItems() override;

  LoginItemStatus current = LoginItemStatus::notRegistered;
  // Status after a successful register (approval may be needed).
  LoginItemStatus afterRegister = LoginItemStatus::enabled;
  std::optional<std::string> registerError;
  std::optional<std::string> unregisterError;
  int registers = 0;
  int unregisters = 0;
  int settingsOpened = 0;
  int statusReads = 0;
};

class FakeUserDefaults final : public UserDefaults, public Recording {
 public:
  bool boolForKey(const std::string& key) override;
  void setBool(bool value, const std::string& key) override;
  std::map<std::string, bool> values;
  int writes = 0;
};

class FakeBundle final : public Bundle {
 public:
  std::string bundlePath() override { return path; }
  std::string installedPrefix() override { return "/Applications/"; }
  std::string path = "/Applications/Trovik Helper.app";
};

class FakeApplication final : public Application, public Recording {
 public:
  void setActivationPolicy(ActivationPolicy policy) override;
  void terminate() override;
  std::optional<ActivationPolicy> policy;
  int terminations = 0;
};

}  // namespace trovik::fakes

namespace trovik::fakes {
inline void PrintTo(const Press& p, std::ostream* os) {
  *os << "{key " << p.key << (p.shift ? " with Shift}" : "}");
}
}  // namespace trovik::fakes
