#include "fake_notifications.hpp"

namespace trovik::testing {
FakeNotifications::FakeNotifications(const std::string& address, Answer answer) : answer_(answer) {
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &FakeNotifications::onNotify,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};

  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return;
  if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0 ||
      sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", vtable, this) < 0 ||
      sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
    sd_bus_flush_close_unref(bus);
    return;
  }
  bus_ = bus;
  thread_ = std::thread([this] { run(); });
}

FakeNotifications::~FakeNotifications() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  sd_bus_flush_close_unref(bus_);
}

std::vector<FakeNotifications::Call> FakeNotifications::waitForCalls(
    std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  called_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
  return calls_;
}

int FakeNotifications::onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeNotifications*>(userdata);
  const char *app = "", *icon = "", *summary = "", *body = "";
  std::uint32_t replaces = 0;
  const int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
  if (r < 0) return r;
  {
    std::lock_guard lock(self->mutex_);
    self->calls_.push_back({app, icon, summary, body});
  }
  self->called_.notify_all();
  switch (self->answer_) {
    case Answer::reply:
      return sd_bus_reply_method_return(m, "u", 1u);
    case Answer::error:
      return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.Failed", "refused");
    case Answer::hold:
      self->held_.push_back(sd_bus_message_ref(m));
      return 1;
  }
  return 0;
}

void FakeNotifications::run() {
  while (!stop_) {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    if (release_) {
      for (sd_bus_message* m : held_) {
        sd_bus_reply_method_return(m, "u", 1u);
        sd_bus_message_unref(m);
      }
      held_.clear();
    }
    sd_bus_wait(bus_, 20'000);
  }
  for (sd_bus_message* m : held_) sd_bus_message_unref(m);
}

}  // namespace trovik::testing
