#include <chrono>

#include "app/app_delegate.hpp"
#include "app/status_texts.hpp"

namespace trovik {

void AppDelegate::startAccessibilityMonitor() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  // A locked or unlocked screen is followed at once, not at the next tick.
  platform_.trust.setChangeHandler([weak] {
    if (auto self = weak.lock()) self->checkAccessibility();
  });
  checkAccessibility();
  accessibilityTimer_ = platform_.runLoop.scheduleRepeating(std::chrono::seconds(2), [weak] {
    if (auto self = weak.lock()) self->checkAccessibility();
  });
}

void AppDelegate::checkAccessibility() {
  const bool trusted = platform_.trust.isProcessTrusted();
  const bool locked = platform_.trust.isScreenLocked();
  // Absent counts as different from both answers, so the first check always acts.
  if (lastAccessibilityState_ == trusted && lastScreenLocked_ == locked) return;
  const bool changed = lastAccessibilityState_ != trusted;
  lastAccessibilityState_ = trusted;
  lastScreenLocked_ = locked;
  if (statusMenuItem_) statusMenuItem_->setTitle(std::string(readinessTitle(trusted, locked)));
  if (changed) broadcastState(messages::accessibilityMessage(trusted));
}

}  // namespace trovik
