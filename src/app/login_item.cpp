#include "app/app_delegate.hpp"

namespace trovik {

void AppDelegate::refreshLoginCheckMark() {
  if (!loginMenuItem_) return;
  loginMenuItem_->setState(platform_.loginItems.status() == LoginItemStatus::enabled ? 1 : 0);
}

void AppDelegate::configureLoginItemIfNeeded() {
  const std::string key(loginItemConfiguredKey);
  if (platform_.userDefaults.boolForKey(key)) return;
  // Only an installed copy registers itself; a later installed launch still gets its turn.
  if (!platform_.bundle.bundlePath().starts_with(platform_.bundle.installedPrefix())) return;
  if (auto error = platform_.loginItems.registerItem()) {
    platform_.log.line("Trovik: could not enable Open at Login — " + *error);
  }
  platform_.userDefaults.setBool(true, key);
  refreshLoginCheckMark();
}

void AppDelegate::toggleLoginItem() {
  LoginItems& items = platform_.loginItems;
  auto error =
      items.status() == LoginItemStatus::enabled ? items.unregisterItem() : items.registerItem();
  if (error) platform_.log.line("Trovik: Open at Login change failed — " + *error);
  if (items.status() == LoginItemStatus::requiresApproval) items.openSystemSettingsLoginItems();
  platform_.userDefaults.setBool(true, std::string(loginItemConfiguredKey));
  refreshLoginCheckMark();
}

}  // namespace trovik
