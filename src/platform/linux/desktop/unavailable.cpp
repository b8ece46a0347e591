#include "platform/linux/desktop/unavailable.hpp"

#include "platform/linux/diagnostics.hpp"

namespace trovik {

void SayOnce::operator()() {
  std::call_once(once_, [this] { diagnose(service_, message_); });
}

std::optional<RunningApplication> UnavailableWorkspace::frontmostApplication() {
  say_();
  return std::nullopt;
}

bool UnavailableWorkspace::openURL(const std::string&) {
  say_();
  return false;
}

std::shared_ptr<StatusItem> UnavailableStatusBar::statusItemWithLength(double) {
  say_();
  return nullptr;
}

}  // namespace trovik
