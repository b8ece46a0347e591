#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trovik::test {

// A service that tests put on a bus in place of a desktop's (notifications, hostnamed): it
// owns `name`, records every method call made to it, and answers as told, on a thread of its
// own.
class FakeBusService {
 public:
  enum class Answer { reply, error, hold };                // hold: never
  using Reply = std::function<int(sd_bus_message* call)>;  // an sd_bus_reply_method_* call
  using Call = std::vector<std::string>;                   // a call's string arguments

  FakeBusService(const std::string& address, const std::string& name, Answer answer,
                 Reply reply = {});
  ~FakeBusService();
  bool ready() const { return bus_ != nullptr; }
  // The calls so far, once at least `count` have come or `timeout` has passed.
  std::vector<Call> calls(std::size_t count, std::chrono::milliseconds timeout);

 private:
  static int onMessage(sd_bus_message* m, void* self, sd_bus_error*);
  void run();

  const Answer answer_;
  const Reply reply_;
  sd_bus* bus_ = nullptr;
  std::mutex mutex_;
  std::condition_variable called_;
  std::vector<Call> calls_;
  std::vector<sd_bus_message*> held_;  // the service thread's
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace trovik::test
