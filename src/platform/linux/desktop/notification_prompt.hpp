#pragma once

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace trovik {

// Tells the user something once, without waiting for anyone: a desktop notification through
// org.freedesktop.Notifications on the session bus, or, when no notification service answers
// within a few seconds, one diagnostic line. The talking happens on a thread of its own.
class NotificationPrompt {
 public:
  // `busAddress` empty: the user's session bus. The diagnostic line goes to `fallbackFd`.
  explicit NotificationPrompt(std::string busAddress = {}, int fallbackFd = STDERR_FILENO);
  // Abandons a notification still in flight at once.
  ~NotificationPrompt();
  NotificationPrompt(const NotificationPrompt&) = delete;
  NotificationPrompt& operator=(const NotificationPrompt&) = delete;

  // Returns at once. Dropped while an earlier one is still in flight. Any thread.
  void show(std::string summary, std::string body);
  // Blocks until the last show() has been delivered or has fallen back; for tests.
  void wait();

 private:
  void deliver(const std::string& summary, const std::string& body);

  const std::string busAddress_;
  const int fallbackFd_;
  int stopFd_;  // an eventfd that ends a delivery in flight
  std::mutex mutex_;
  std::thread worker_;
  std::atomic<bool> busy_{false};
};

}  // namespace trovik
