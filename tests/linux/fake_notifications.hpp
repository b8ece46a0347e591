#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trovik::testing {

// org.freedesktop.Notifications on a test's bus: records every Notify call and answers it
// as told, on a thread of its own.
class FakeNotifications {
 public:
  enum class Answer { reply, error, hold };
  struct Call {
    std::string app;
    std::string icon;
    std::string summary;
    std::string body;
  };

  FakeNotifications(const std::string& address, Answer answer);
  ~FakeNotifications();
  bool ready() const { return bus_ != nullptr; }

  // The calls so far, once at least `count` have arrived or `timeout` has passed.
  std::vector<Call> waitForCalls(std::size_t count, std::chrono::milliseconds timeout);
  // Answers the calls held so far.
  void release() { release_ = true; }

 private:
  static int onNotify(sd_bus_message* m, void* userdata, sd_bus_error* error);
  void run();

  Answer answer_;
  sd_bus* bus_ = nullptr;
  std::mutex mutex_;
  std::condition_variable called_;
  std::vector<Call> calls_;
  std::vector<sd_bus_message*> held_;  // only the service thread touches these
  std::atomic<bool> release_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace trovik::testing
