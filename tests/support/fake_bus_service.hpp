#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trovik::test {

// A service that a test puts on a bus in place of a desktop's: it owns `name` and answers
// every method call made to it with `reply`, on a thread of its own.
class FakeBusService {
 public:
  using Reply = std::function<int(sd_bus_message* call)>;  // an sd_bus_reply_method_* call

  FakeBusService(const std::string& address, const std::string& name, Reply reply)
      : reply_(std::move(reply)) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 || sd_bus_add_filter(bus, nullptr, onMessage, this) < 0 ||
        sd_bus_request_name(bus, name.c_str(), 0) < 0) {
      sd_bus_flush_close_unref(bus);
      return;
    }
    bus_ = bus;
    thread_ = std::thread([this] {
      while (!stop_) {
        std::vector<std::function<void(sd_bus*)>> tasks;
        {
          std::lock_guard lock(mutex_);
          tasks.swap(tasks_);
        }
        for (auto& task : tasks) task(bus_);
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 20'000);
      }
    });
  }
  ~FakeBusService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
  }
  bool ready() const { return bus_ != nullptr; }
  // Runs `task` on the service's own connection (to emit a signal as the service), soon.
  void onBus(std::function<void(sd_bus*)> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }

 private:
  static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* destination = sd_bus_message_get_destination(m);
    if (sd_bus_message_is_method_call(m, nullptr, nullptr) <= 0 || !destination ||
        std::string(destination) == "org.freedesktop.DBus") {
      return 0;
    }
    return static_cast<FakeBusService*>(userdata)->reply_(m);
  }

  const Reply reply_;
  sd_bus* bus_ = nullptr;
  std::mutex mutex_;
  std::vector<std::function<void(sd_bus*)>> tasks_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace trovik::test
