#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/workspace.hpp"

namespace trovik {

// The application in front as a workspace backend last saw it, and who hears when it changes.
// Focus moving between windows of one application is not a new activation.
class FrontApplication {
 public:
  void addObserver(Workspace::ActivationHandler handler) {
    observers_.push_back(std::move(handler));
  }
  std::optional<RunningApplication> running() const {
    if (!application_) return std::nullopt;
    return RunningApplication{application_};
  }
  bool known() const { return application_.has_value(); }
  void settle(const std::optional<std::string>& application) {
    if (application == application_) return;
    application_ = application;
    const auto app = running();
    const auto observers = observers_;  // an observer may add another
    for (const auto& observer : observers) observer(app);
  }

 private:
  std::vector<Workspace::ActivationHandler> observers_;
  std::optional<std::string> application_;
};

}  // namespace trovik
