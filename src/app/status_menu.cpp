#include "app/app_delegate.hpp"
#include "app/status_texts.hpp"

namespace trovik {

void AppDelegate::setupStatusItem() {
  statusItem_ = platform_.statusBar.statusItemWithLength(kSquareStatusItemLength);
  if (statusItem_) {
    if (StatusBarButton* button = statusItem_->button())
      button->setImage("scissors", "Trovik Helper");
  }

  auto menu = std::make_shared<Menu>();
  menu->addItem(std::make_shared<MenuItem>("Trovik Helper", "", ""));

  statusMenuItem_ =
      std::make_shared<MenuItem>(std::string(readinessTitle(platform_.trust.isProcessTrusted(),
                                                            platform_.trust.isScreenLocked())),
                                 "", "");
  menu->addItem(statusMenuItem_);

  const std::string name = platform_.hostInfo.localizedName().value_or("Mac");
  menu->addItem(std::make_shared<MenuItem>("This Computer: " + name, "", ""));
  menu->addItem(std::make_shared<MenuItem>("Keep your iPad on the same Wi-Fi", "", ""));
  menu->addItem(MenuItem::separatorItem());
  menu->addItem(std::make_shared<MenuItem>("Accessibility Settings", "openAccessibilityPrefs", ""));

  loginMenuItem_ = std::make_shared<MenuItem>("Open at Login", "toggleLoginItem", "");
  loginMenuItem_->setTarget(weak_from_this());
  menu->addItem(loginMenuItem_);
  refreshLoginCheckMark();

  askMenuItem_ =
      std::make_shared<MenuItem>("Ask Before New Tablets Type", "toggleAskBeforeNewTablets", "");
  askMenuItem_->setState(askBeforeNewTablets_ ? 1 : 0);
  menu->addItem(askMenuItem_);
  menu->addItem(std::make_shared<MenuItem>("Forget Trusted Tablets", "forgetTrustedTablets", ""));
  allowMenuItem_ = std::make_shared<MenuItem>("Allow Tablet", "allowWaitingTablet", "");
  allowMenuItem_->setHidden(true);
  menu->addItem(allowMenuItem_);

  menu->addItem(MenuItem::separatorItem());
  menu->addItem(std::make_shared<MenuItem>("Quit Trovik Helper", "quitApp", "q"));

  if (statusItem_) statusItem_->setMenu(menu);
}

void AppDelegate::quitApp() {
  platform_.application.terminate();
}

void AppDelegate::openAccessibilityPrefs() {
  platform_.workspace.openURL(std::string(kAccessibilitySettingsLink));
}

}  // namespace trovik
