#include "support/fake_bus_service.hpp"

namespace trovik::test {

FakeBusService::FakeBusService(const std::string& address, const std::string& name, Answer answer,
                               Reply reply)
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
  thread_ = std::thread([this] { run(); });
}

FakeBusService::~FakeBusService() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (sd_bus_message* m : held_) sd_bus_message_unref(m);
  sd_bus_flush_close_unref(bus_);
}

std::vector<FakeBusService::Call> FakeBusService::calls(std::size_t count,
                                                        std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  called_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
  return calls_;
}

int FakeBusService::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeBusService*>(userdata);
  if (sd_bus_message_is_method_call(m, nullptr, nullptr) <= 0 ||
      !sd_bus_message_get_destination(m) ||
      std::string(sd_bus_message_get_destination(m)) == "org.freedesktop.DBus") {
    return 0;
  }
  Call call;
  char type = 0;
  while (sd_bus_message_peek_type(m, &type, nullptr) > 0 && type != 0) {
    if (type == 's') {
      const char* text = nullptr;
      sd_bus_message_read_basic(m, 's', &text);
      call.emplace_back(text);
    } else if (sd_bus_message_skip(m, nullptr) < 0) {
      break;
    }
  }
  sd_bus_message_rewind(m, 1);
  {
    std::lock_guard lock(self->mutex_);
    self->calls_.push_back(std::move(call));
  }
  self->called_.notify_all();
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

void FakeBusService::run() {
  while (!stop_) {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    sd_bus_wait(bus_, 20'000);
  }
}

}  // namespace trovik::test
