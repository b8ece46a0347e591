#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace trovik::testing {

// Stands in for systemd-logind on a test's bus: owns org.freedesktop.login1, knows one login
// session, and serves that session's LockedHint, on a thread of its own. The agent finds it
// through $DBUS_SYSTEM_BUS_ADDRESS. Destroying it takes it off the bus, as a logind that stops.
class FakeLogind {
 public:
  // The agent is outside any session by its process (GetSessionByPID finds none), as one
  // started by a user service is; it finds this one by $XDG_SESSION_ID.
  struct Session {
    std::string id = "7";
    bool locked = false;
  };

  // Null, with `error` set, when it cannot connect or own the name.
  static std::unique_ptr<FakeLogind> start(const std::string& address, Session session,
                                           std::string& error) {
    std::unique_ptr<FakeLogind> logind(new FakeLogind(std::move(session)));
    if (const int r = logind->connect(address); r < 0) {
      error = "fake logind: " + std::string(std::strerror(-r));
      return nullptr;
    }
    logind->thread_ = std::thread([self = logind.get()] { self->serve(); });
    return logind;
  }
  ~FakeLogind() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (sd_bus_slot* slot : {managerSlot_, sessionSlot_}) sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus_);
  }
  FakeLogind(const FakeLogind&) = delete;
  FakeLogind& operator=(const FakeLogind&) = delete;

  const std::string& sessionId() const { return session_.id; }
  const std::string& sessionPath() const { return path_; }

  // Sets LockedHint and emits PropertiesChanged, each time, also for the value it already has.
  // Returns once the signal is on its way. Any thread.
  void setLocked(bool locked) {
    std::unique_lock lock(mutex_);
    requests_.push_back(locked);
    served_.wait(lock, [&] { return requests_.empty(); });
  }

 private:
  explicit FakeLogind(Session session) : session_(std::move(session)) {}

  int connect(const std::string& address) {
    char* path = nullptr;
    int r = sd_bus_path_encode("/org/freedesktop/login1/session", session_.id.c_str(), &path);
    if (r < 0) return r;
    path_ = path;
    std::free(path);
    if ((r = sd_bus_new(&bus_)) < 0) return r;
    if ((r = sd_bus_set_address(bus_, address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(bus_, 1)) < 0 || (r = sd_bus_start(bus_)) < 0 ||
        (r = sd_bus_add_object_vtable(bus_, &managerSlot_, "/org/freedesktop/login1",
                                      "org.freedesktop.login1.Manager", kManager, this)) < 0 ||
        (r = sd_bus_add_object_vtable(bus_, &sessionSlot_, path_.c_str(),
                                      "org.freedesktop.login1.Session", kSession, this)) < 0) {
      return r;
    }
    return sd_bus_request_name(bus_, "org.freedesktop.login1", 0);
  }

  void serve() {
    while (!stop_) {
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
      sd_bus_wait(bus_, 10'000);
      std::lock_guard lock(mutex_);
      if (requests_.empty()) continue;
      for (; !requests_.empty(); requests_.pop_front()) announce(requests_.front());
      sd_bus_flush(bus_);
      served_.notify_all();
    }
  }

  void announce(bool locked) {
    session_.locked = locked;
    sd_bus_emit_signal(bus_, path_.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged",
                       "sa{sv}as", "org.freedesktop.login1.Session", 1, "LockedHint", "b",
                       int(locked), 0);
  }

  static int sessionByPid(sd_bus_message* m, void*, sd_bus_error* error) {
    std::uint32_t pid = 0;
    if (const int r = sd_bus_message_read(m, "u", &pid); r < 0) return r;
    return sd_bus_error_setf(error, "org.freedesktop.login1.NoSessionForPID",
                             "PID %u does not belong to any known session", pid);
  }

  static int sessionById(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeLogind*>(userdata);
    const char* id = nullptr;
    if (const int r = sd_bus_message_read(m, "s", &id); r < 0) return r;
    if (self->session_.id == id) return sd_bus_reply_method_return(m, "o", self->path_.c_str());
    return sd_bus_error_setf(error, "org.freedesktop.login1.NoSuchSession", "No session '%s' known",
                             id);
  }

  static int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                      void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeLogind*>(userdata);
    if (std::string_view(name) == "Id")
      return sd_bus_message_append(reply, "s", self->session_.id.c_str());
    return sd_bus_message_append(reply, "b", int(self->session_.locked));
  }

  static constexpr sd_bus_vtable kManager[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("GetSessionByPID", "u", "o", sessionByPid, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetSession", "s", "o", sessionById, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kSession[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("Id", "s", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("LockedHint", "b", property, 0, 0), SD_BUS_VTABLE_END};

  Session session_;  // `locked` is the service thread's once it runs
  std::string path_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* managerSlot_ = nullptr;
  sd_bus_slot* sessionSlot_ = nullptr;
  std::mutex mutex_;
  std::condition_variable served_;
  std::deque<bool> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace trovik::testing
