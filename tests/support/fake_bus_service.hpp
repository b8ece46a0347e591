#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <functional>

#include "support/mailbox.hpp"

namespace trovik::test {

// A service that tests put on a bus in place of a desktop's (notifications, hostnamed): it
// owns `name`, hands every method call made to it to `calls`, and answers as told, on a thread
// of its own.
class FakeBusService {
 public:
  enum class Answer { reply, error, hold };                // hold: never
  using Reply = std::function<int(sd_bus_message* call)>;  // an sd_bus_reply_method_* call
  using Call = std::vector<std::string>;                   // a call's string arguments

  FakeBusService(const std::string& address, const std::string& name, Answer answer,
                 Reply reply = {})
      : answer_(answer), reply_(std::move(reply)) {
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
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 20'000);
      }
    });
  }
  ~FakeBusService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (sd_bus_message* m : held_) sd_bus_message_unref(m);
    sd_bus_flush_close_unref(bus_);
  }
  bool ready() const { return bus_ != nullptr; }
  Mailbox<Call> calls;

 private:
  static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeBusService*>(userdata);
    const char* destination = sd_bus_message_get_destination(m);
    if (sd_bus_message_is_method_call(m, nullptr, nullptr) <= 0 || !destination ||
        std::string(destination) == "org.freedesktop.DBus") {
      return 0;
    }
    Call call;
    for (char type = 0; sd_bus_message_peek_type(m, &type, nullptr) > 0 && type != 0;) {
      const char* text = nullptr;
      if (type == 's' && sd_bus_message_read_basic(m, 's', &text) > 0) {
        call.emplace_back(text);
      } else if (type != 's' && sd_bus_message_skip(m, nullptr) < 0) {
        break;
      }
    }
    sd_bus_message_rewind(m, 1);
    self->calls.put(std::move(call));
    switch (self->answer_) {
      case Answer::reply:
        return self->reply_ ? self->reply_(m) : sd_bus_reply_method_return(m, "");
      case Answer::error:
        return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.Failed", "refused");
      case Answer::hold:
        self->held_.push_back(sd_bus_message_ref(m));
        return 1;
    }
    return 0;
  }

  const Answer answer_;
  const Reply reply_;
  sd_bus* bus_ = nullptr;
  std::vector<sd_bus_message*> held_;  // the service thread's
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace trovik::test
