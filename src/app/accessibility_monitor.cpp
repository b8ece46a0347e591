#include <chrono>

#include "app/app_delegate.hpp"
#include "app/status_texts.hpp"

namespace trovik {

void AppDelegate::startAccessibilityMonitor() {
  checkAccessibility();
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  accessibilityTimer_ = platform_.runLoop.scheduleRepeating(std::chrono::seconds(2), [weak] {
    if (auto self = weak.lock()) self->checkAccessibility();
  });
}

void AppDelegate::checkAccessibility() {
  const bool trusted = platform_.trust.isProcessTrusted();
  // Absent counts as different from both answers, so the first check always acts.
  if (lastAccessibilityState_ == trusted) return;
  lastAccessibilityState_ = trusted;
  if (statusMenuItem_) statusMenuItem_->setTitle(std::string(readinessTitle(trusted)));
  broadcastState(messages::accessibilityMessage(trusted));
}

}  // namespace trovik
