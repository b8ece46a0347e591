#include "platform/linux/desktop/notification_prompt.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "platform/linux/desktop/session_bus.hpp"
#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

// A notification service that has not answered by then is as good as absent.
constexpr std::uint64_t kReplyTimeoutUsec = 3'000'000;

struct Call {
  bool done = false;
  bool delivered = false;
};

int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* call = static_cast<Call*>(userdata);
  call->done = true;
  call->delivered = !sd_bus_message_is_method_error(reply, nullptr);
  return 0;
}

int notify(sd_bus* bus, const std::string& summary, const std::string& body, Call* call,
           sd_bus_slot** slot) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, "org.freedesktop.Notifications",
                                         "/org/freedesktop/Notifications",
                                         "org.freedesktop.Notifications", "Notify");
  if (r < 0) return r;
  r = sd_bus_message_append(m, "susssasa{sv}i", "Trovik Helper", 0u, "input-keyboard",
                            summary.c_str(), body.c_str(), 0, 0, -1);
  if (r >= 0) r = sd_bus_call_async(bus, slot, m, onReply, call, kReplyTimeoutUsec);
  sd_bus_message_unref(m);
  return r;
}

// Waits for the bus or its next timeout; false when `stopFd` says to give up.
bool waitForBus(sd_bus* bus, int stopFd) {
  int timeoutMs = -1;
  std::uint64_t until = 0;
  if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = std::uint64_t(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
    timeoutMs = until > nowUsec ? int((until - nowUsec + 999) / 1000) : 0;
  }
  pollfd fds[2] = {{sd_bus_get_fd(bus), short(sd_bus_get_events(bus)), 0}, {stopFd, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR) return false;
  return (fds[1].revents & POLLIN) == 0;
}

}  // namespace

NotificationPrompt::NotificationPrompt(std::string busAddress, int fallbackFd)
    : busAddress_(std::move(busAddress)),
      fallbackFd_(fallbackFd),
      stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

NotificationPrompt::~NotificationPrompt() {
  const std::uint64_t one = 1;
  if (stopFd_ >= 0) (void)!::write(stopFd_, &one, sizeof one);
  wait();
  if (stopFd_ >= 0) ::close(stopFd_);
}

void NotificationPrompt::show(std::string summary, std::string body) {
  std::lock_guard lock(mutex_);
  if (busy_) return;
  if (worker_.joinable()) worker_.join();  // finished: busy_ is false
  busy_ = true;
  worker_ = std::thread([this, summary = std::move(summary), body = std::move(body)] {
    deliver(summary, body);
    busy_ = false;
  });
}

void NotificationPrompt::wait() {
  std::lock_guard lock(mutex_);
  if (worker_.joinable()) worker_.join();
}

void NotificationPrompt::deliver(const std::string& summary, const std::string& body) {
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  Call call;
  bool stopped = false;
  if (stopFd_ >= 0 && openSessionBus(busAddress_, &bus) >= 0 &&
      notify(bus, summary, body, &call, &slot) >= 0) {
    while (!call.done) {
      const int r = sd_bus_process(bus, nullptr);
      if (r < 0) break;
      if (r > 0) continue;
      if (!waitForBus(bus, stopFd_)) {
        stopped = true;
        break;
      }
    }
  }
  sd_bus_slot_unref(slot);
  sd_bus_close_unref(bus);
  if (!call.delivered && !stopped) diagnose("keyboard", summary + ": " + body, fallbackFd_);
}

}  // namespace trovik
