#pragma once

// The desktop's side of the private bus as the tray and the question meet it: a notification
// service that numbers its notifications as it is told, and a tray's watcher that takes every
// item. It also sends the signals a notification service sends, typed right or wrong, and
// those signals from other peers.

#include <fuzzer/FuzzedDataProvider.h>
#include <systemd/sd-bus.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "bus_fixture.hpp"
#include "bus_values.hpp"
#include "platform/linux/desktop/asio_bus_pump.hpp"
#include "platform/linux/desktop/session_bus.hpp"

namespace trovik::fuzz {

// Serves on a thread of its own, as a real service is another process: the question waits
// for its answers at start. Its bus is touched on that thread only.
class NotificationService {
 public:
  NotificationService(asio::io_context& loop, const std::string& address) : loop_(loop) {
    require(openSessionBus(address, &bus_) >= 0, "bus", "notification service");
    require(sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", kNotifications, this) >= 0 &&
                sd_bus_add_object_vtable(bus_, nullptr, "/StatusNotifierWatcher",
                                         "org.kde.StatusNotifierWatcher", kWatcher, this) >= 0 &&
                sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) >= 0 &&
                sd_bus_request_name(bus_, "org.kde.StatusNotifierWatcher", 0) >= 0,
            "bus", "serving the desktop");
    pump_ = AsioBusPump::start(own_, bus_, [](int) { fail("bus", "service lost"); });
    thread_ = std::thread([this] { own_.run(); });
  }
  ~NotificationService() {
    work_.reset();
    asio::post(own_, [this] { pump_->stop(), own_.stop(); });
    thread_.join();
  }

  // Once the question's connection answers a ping from `from` (the service's when null), it
  // has handled everything `from` sent it before.
  void barrier(sd_bus* from = nullptr) {
    struct Ping {
      std::atomic<bool> done = false;
      asio::io_context& loop;
    } ping{false, loop_};
    const auto send = [&](sd_bus* bus) {
      const auto onReply = [](sd_bus_message*, void* state, sd_bus_error*) {
        auto& ping = *static_cast<Ping*>(state);
        ping.done = true;
        asio::post(ping.loop, [] {});  // wakes the loop, which may wait on nothing else
        return 0;
      };
      sd_bus_call_method_async(bus, nullptr, questioner.c_str(), "/", "org.freedesktop.DBus.Peer",
                               "Ping", onReply, &ping, "");
      sd_bus_flush(bus);
    };
    if (from) {
      send(from);
    } else {
      onThread([&] { send(bus_); });
    }
    until(
        loop_, [&] { return ping.done.load(); }, "ping");
  }

  // ActionInvoked (id, action) or NotificationClosed (id, reason) from `from`, or from the
  // service when null; `extra` typed values follow. Whether the id went as a "u".
  bool signal(sd_bus* from, bool invoked, std::uint32_t id, const std::string& action,
              const std::string& extra, FuzzedDataProvider& in) {
    bool sent = false;
    const bool typed = in.ConsumeBool();
    std::string idType = typed ? "u" : anyType(in);
    if (!typed && idType == "u") idType = "i";  // a wrong type, surely
    const auto send = [&](sd_bus* bus) {
      sd_bus_message* m = nullptr;
      int r = sd_bus_message_new_signal(bus, &m, "/org/freedesktop/Notifications",
                                        "org.freedesktop.Notifications",
                                        invoked ? "ActionInvoked" : "NotificationClosed");
      if (r >= 0) r = typed ? sd_bus_message_append(m, "u", id) : appendAny(m, in, idType.c_str());
      if (r >= 0 && invoked) r = sd_bus_message_append(m, "s", action.c_str());
      if (r >= 0 && !invoked)
        r = sd_bus_message_append(m, "u", in.ConsumeIntegral<std::uint32_t>());
      if (r >= 0 && !extra.empty()) r = appendAny(m, in, extra.c_str());
      if (r >= 0) r = sd_bus_send(bus, m, nullptr);
      sd_bus_message_unref(m);
      sent = r >= 0;
    };
    if (from) {
      send(from);
    } else {
      onThread([&] { send(bus_); });
    }
    barrier(from);
    return sent && typed;
  }

  std::atomic<bool> actions = true;       // offers actions, which the question needs
  std::atomic<std::uint32_t> nextId = 1;  // the id the next notification gets
  std::atomic<int> capabilityQuestions = 0, notifications = 0;
  std::string questioner;  // the question's connection: set before capabilityQuestions grows

 private:
  // Runs `task` on the service's thread and waits for it.
  void onThread(const std::function<void()>& task) {
    std::promise<void> ran;
    asio::post(own_, [&] { task(), ran.set_value(); });
    ran.get_future().wait();
  }

  static int getCapabilities(sd_bus_message* m, void* self, sd_bus_error*) {
    auto& service = *static_cast<NotificationService*>(self);
    service.questioner = sd_bus_message_get_sender(m);
    ++service.capabilityQuestions;  // before the reply, which is what the waiting loop sees
    return service.actions ? sd_bus_reply_method_return(m, "as", 2, "body", "actions")
                           : sd_bus_reply_method_return(m, "as", 1, "body");
  }
  static int notify(sd_bus_message* m, void* self, sd_bus_error*) {
    auto& service = *static_cast<NotificationService*>(self);
    ++service.notifications;
    return sd_bus_reply_method_return(m, "u", service.nextId.load());
  }
  static int accept(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
  }
  static constexpr sd_bus_vtable kNotifications[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("GetCapabilities", "", "as", getCapabilities, 0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
      SD_BUS_METHOD("CloseNotification", "u", "", accept, 0), SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kWatcher[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", accept, 0),
      SD_BUS_VTABLE_END};

  asio::io_context& loop_;  // the tray's and the question's
  asio::io_context own_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{
      asio::make_work_guard(own_)};
  sd_bus* bus_ = nullptr;
  std::shared_ptr<AsioBusPump> pump_;
  std::thread thread_;
};

}  // namespace trovik::fuzz
