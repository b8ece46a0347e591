#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace trovik {

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

inline std::chrono::steady_clock::time_point steadyNow() {
  return std::chrono::steady_clock::now();
}

// Lets an attempt through at most once per interval, so that a device or server that is
// gone costs one try every few seconds however often it is asked for. Not thread-safe.
class RetryGate {
 public:
  explicit RetryGate(SteadyClock clock = steadyNow,
                     std::chrono::steady_clock::duration interval = std::chrono::seconds(2))
      : clock_(std::move(clock)), interval_(interval) {}

  // True when an attempt may be made now; the attempt is then counted as made.
  bool due() {
    const auto now = clock_();
    if (last_ && now - *last_ < interval_) return false;
    last_ = now;
    return true;
  }

 private:
  SteadyClock clock_;
  std::chrono::steady_clock::duration interval_;
  std::optional<std::chrono::steady_clock::time_point> last_;
};

}  // namespace trovik
