#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <optional>
#include <string>

#include "platform/linux/desktop/front_application.hpp"

namespace trovik {

// The application in front as a compositor reports it, window by window. Focus moving from one
// window to the next passes through a moment with none active, which may come in separate
// reads: no window counts only once it lasts. Longer than a compositor takes between the two,
// short enough to pass unnoticed.
class SettlingFront : public FrontApplication {
 public:
  explicit SettlingFront(asio::io_context& context) : timer_(context) {}

  // A window is in front, of `application` (none when it names none): counts at once.
  void window(const std::optional<std::string>& application) {
    stopWaiting();
    settle(application);
  }
  // No window is in front.
  void noWindow() {
    if (!known() || waiting_) return;
    waiting_ = true;
    timer_.expires_after(std::chrono::milliseconds(150));
    timer_.async_wait([this](const std::error_code& error) {
      // A window meanwhile has called it off.
      if (error || !waiting_) return;
      waiting_ = false;
      settle(std::nullopt);
    });
  }
  // The compositor is gone: nothing is in front from now on.
  void lost() { window(std::nullopt); }

 private:
  void stopWaiting() {
    waiting_ = false;
    timer_.cancel();
  }

  asio::steady_timer timer_;
  bool waiting_ = false;
};

}  // namespace trovik
