#include "fakes/fake_services.hpp"

namespace trovik::fakes {
void FakeKeyboard::press(KeyCode key, bool shift) {
  std::lock_guard lock(mutex_);
  presses_.push_back(Press{key, shift});
}

std::vector<Press> FakeKeyboard::presses() const {
  std::lock_guard lock(mutex_);
  return presses_;
}

bool FakeTrust::isProcessTrusted() {
  ++queries_;
  record("trust.isProcessTrusted");
  return trusted_;
}

bool FakeTrust::isProcessTrustedWithPrompt() {
  ++prompts_;
  record("trust.isProcessTrustedWithPrompt");
  return trusted_;
}

void FakeLog::line(std::string_view text) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(text);
}

std::vector<std::string> FakeLog::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> FakeLog::linesStartingWith(std::string_view prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& l : lines_) {
    if (l.starts_with(prefix)) out.push_back(l);
  }
  return out;
}

void FakeLog::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

std::optional<RunningApplication> FakeWorkspace::frontmostApplication() {
  record("workspace.frontmostApplication");
  return frontmost;
}

void FakeWorkspace::addActivationObserver(ActivationHandler handler) {
  record("workspace.addActivationObserver");
  observers_.push_back(std::move(handler));
}

bool FakeWorkspace::openURL(const std::string& url) {
  record("workspace.openURL(" + url + ")");
  openedURLs.push_back(url);
  return true;
}

void FakeWorkspace::activate(std::optional<RunningApplication> app) {
  for (const auto& observer : observers_) observer(app);
}

std::shared_ptr<StatusItem> FakeStatusBar::statusItemWithLength(double length) {
  record("statusBar.statusItemWithLength(" + std::to_string(static_cast<int>(length)) + ")");
  requestedLengths.push_back(length);
  if (!available) return nullptr;
  item = std::make_shared<FakeStatusItem>(withButton);
  return item;
}

std::optional<std::string> FakeHostInfo::localizedName() {
  ++queries;
  record("hostInfo.localizedName");
  return name;
}

LoginItemStatus FakeLoginItems::status() {
  ++statusReads;
  record("loginItems.status");
  return current;
}

std::optional<std::string> FakeLoginItems::registerItem() {
  ++registers;
  record("loginItems.register");
  if (registerError) return registerError;
  current = afterRegister;
  return std::nullopt;
}

std::optional<std::string> FakeLoginItems::unregisterItem() {
  ++unregisters;
  record("loginItems.unregister");
  if (unregisterError) return unregisterError;
  current = LoginItemStatus::notRegistered;
  return std::nullopt;
}

void FakeLoginItems::openSystemSettingsLoginItems() {
  ++settingsOpened;
  record("loginItems.openSettings");
}

bool FakeUserDefaults::boolForKey(const std::string& key) {
  record("defaults.bool(" + key + ")");
  auto it = values.find(key);
  return it != values.end() && it->second;
}

void FakeUserDefaults::setBool(bool value, const std::string& key) {
  record("defaults.set(" + key + "=" + (value ? "true" : "false") + ")");
  ++writes;
  values[key] = value;
}

void FakeApplication::setActivationPolicy(ActivationPolicy p) {
  record("application.setActivationPolicy(" + std::to_string(static_cast<int>(p)) + ")");
  policy = p;
}

void FakeApplication::terminate() {
  record("application.terminate");
  ++terminations;
}

}  // namespace trovik::fakes
