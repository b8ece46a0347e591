#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace trovik::test {

inline constexpr std::chrono::seconds kPatience{10};

// What callbacks on other threads hand to the test, taken out in order with a time limit.
template <typename T>
class Mailbox {
 public:
  void put(T value) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(value));
    }
    ready_.notify_all();
  }
  // The next item, or nothing when none comes within `timeout`.
  std::optional<T> take(std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !items_.empty(); })) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
};

// Polls `condition` until it holds or `timeout` passes; for states that nothing announces.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace trovik::test
