#include "app/app_delegate.hpp"

namespace trovik {

std::shared_ptr<AppDelegate> AppDelegate::create(const Platform& platform) {
  RunLoop& runLoop = platform.runLoop;
  return std::shared_ptr<AppDelegate>(new AppDelegate(platform), [&runLoop](AppDelegate* d) {
    if (runLoop.isCurrentThread()) {
      delete d;
    } else {
      runLoop.post([d] { delete d; });
    }
  });
}

AppDelegate::AppDelegate(const Platform& platform) : platform_(platform) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  platform_.application.setActivationPolicy(ActivationPolicy::accessory);
  askBeforeNewTablets_ =
      platform_.userDefaults.storedBool(std::string(askBeforeNewTabletsKey)).value_or(true);
  platform_.tablets.setChangeHandler([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->removeUntrustedClients();
  });
  setupStatusItem();
  configureLoginItemIfNeeded();
  // The one prompt of a launch; the monitor below only ever asks quietly. A locked screen
  // is no want of access.
  if (!platform_.trust.isProcessTrusted() && !platform_.trust.isScreenLocked()) {
    platform_.trust.isProcessTrustedWithPrompt();
  }
  startAccessibilityMonitor();
  startListener();
  observeFrontmostApp();
}

void AppDelegate::performAction(std::string_view action) {
  if (action == "quitApp") {
    quitApp();
  } else if (action == "openAccessibilityPrefs") {
    openAccessibilityPrefs();
  } else if (action == "toggleLoginItem") {
    toggleLoginItem();
  } else if (action == "toggleAskBeforeNewTablets") {
    toggleAskBeforeNewTablets();
  } else if (action == "forgetTrustedTablets") {
    forgetTrustedTablets();
  } else if (action == "allowWaitingTablet") {
    allowWaitingTablet();
  }
}

editor::EditorID AppDelegate::activeEditorID() const {
  std::lock_guard lock(mutex_);
  return activeEditorID_;
}

AppDelegate::ConnectionList AppDelegate::clientConnections() const {
  std::lock_guard lock(mutex_);
  ConnectionList flows;
  for (const auto& client : clients_) flows.push_back(client->flow);
  return flows;
}

AppDelegate::ConnectionList AppDelegate::stateConnections() const {
  std::lock_guard lock(mutex_);
  ConnectionList channels;
  for (const auto& client : clients_) {
    if (client->channel) channels.push_back(client->channel);
  }
  return channels;
}

}  // namespace trovik
