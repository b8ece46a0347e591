#include "platform/linux/desktop/logind_screen_lock.hpp"

#include <asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/linux/desktop/session_bus.hpp"
#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

constexpr const char* kLogin1 = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kBusDriver = "org.freedesktop.DBus";
constexpr const char* kOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.freedesktop.login1'";
// The agent starts its services before its loop: a system bus that does not answer delays the
// start by this much, and is followed from the loop after that.
constexpr std::chrono::milliseconds kFirstAnswer{500};
// A logind that has not answered by then is as good as absent.
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

}  // namespace

LogindScreenLock::LogindScreenLock(asio::io_context& mainLoop, std::string systemBus,
                                   std::function<void()> onChange, int diagnosticsFd)
    : context_(mainLoop), onChange_(std::move(onChange)), diagnosticsFd_(diagnosticsFd) {
  if (const char* id = std::getenv("XDG_SESSION_ID")) sessionId_ = id;
  int r = openSystemBus(systemBus, &bus_);
  if (r < 0) {
    unavailable("no system bus: " + std::string(std::strerror(-r)));
    settling_ = false;
    return;
  }
  sd_bus_set_method_call_timeout(bus_, kCallTimeoutUsec);
  // Watch for logind before looking for it, so one that starts in between is not missed.
  r = sd_bus_add_match_async(bus_, &ownerSlot_, kOwnerMatch, onOwnerChanged, nullptr, this);
  if (r >= 0) {
    r = sd_bus_call_method_async(bus_, &callSlot_, kBusDriver, "/org/freedesktop/DBus", kBusDriver,
                                 "GetNameOwner", onOwner, this, "s", kLogin1);
  }
  if (r >= 0) awaitFirstAnswer();
  settling_ = false;
  if (r >= 0) {
    pump_ = AsioBusPump::start(context_, bus_, [this](int error) {
      unavailable("lost the system bus: " + std::string(std::strerror(-error)));
    });
    if (!pump_) r = -errno;
  }
  if (r < 0) unavailable("cannot use the system bus: " + std::string(std::strerror(-r)));
}

LogindScreenLock::~LogindScreenLock() {
  if (pump_) pump_->stop();
  for (sd_bus_slot* slot : {callSlot_, changeSlot_, ownerSlot_}) sd_bus_slot_unref(slot);
  sd_bus_close_unref(bus_);  // nothing of ours waits to be sent
}

void LogindScreenLock::awaitFirstAnswer() {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + kFirstAnswer;
  while (!settled_) {
    const int r = sd_bus_process(bus_, nullptr);
    if (r > 0) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    // A failed bus is the pump's to report, once the loop runs.
    if (r < 0 || left.count() <= 0) return;
    sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count()));
  }
}

int LogindScreenLock::onOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<LogindScreenLock*>(userdata);
  const char* owner = "";
  const sd_bus_error* error = sd_bus_message_get_error(m);
  if (error && !sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    self->unavailable("cannot ask the system bus for it: " + busErrorText(error));
    return 0;
  }
  if (!error) sd_bus_message_read(m, "s", &owner);
  self->follow(owner ? owner : "", "org.freedesktop.login1 is not on the system bus");
  return 0;
}

int LogindScreenLock::onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<LogindScreenLock*>(userdata);
  const char* sender = sd_bus_message_get_sender(m);
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  // Only the bus itself says who owns a name; anyone else may send us signals directly.
  if (!sender || std::strcmp(sender, kBusDriver) != 0 ||
      sd_bus_message_read(m, "sss", &name, &before, &after) < 0 ||
      std::strcmp(name, kLogin1) != 0) {
    return 0;
  }
  self->follow(after, "org.freedesktop.login1 left the system bus");
  return 0;
}

// A new logind knows nothing of what was asked of the old one: start over.
void LogindScreenLock::follow(std::string owner, const std::string& reasonWhenNone) {
  owner_ = std::move(owner);
  callSlot_ = sd_bus_slot_unref(callSlot_);
  changeSlot_ = sd_bus_slot_unref(changeSlot_);
  if (owner_.empty()) return unavailable(reasonWhenNone);
  const int r = sd_bus_call_method_async(bus_, &callSlot_, owner_.c_str(), kManagerPath, kManager,
                                         "GetSessionByPID", onSessionOfPid, this, "u",
                                         static_cast<std::uint32_t>(::getpid()));
  if (r < 0)
    unavailable("cannot ask for this process's session: " + std::string(std::strerror(-r)));
}

int LogindScreenLock::onSessionOfPid(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<LogindScreenLock*>(userdata);
  const char* path = nullptr;
  const sd_bus_error* error = sd_bus_message_get_error(m);
  if (!error && sd_bus_message_read(m, "o", &path) > 0) {
    self->watchSession(path);
  } else if (self->sessionId_.empty()) {
    self->unavailable("no session for this process" + (error ? ": " + busErrorText(error) : ""));
  } else {
    // Started outside the session (by a user service, say), but on its behalf.
    self->callSlot_ = sd_bus_slot_unref(self->callSlot_);
    const int r = sd_bus_call_method_async(self->bus_, &self->callSlot_, self->owner_.c_str(),
                                           kManagerPath, kManager, "GetSession", onSessionOfId,
                                           self, "s", self->sessionId_.c_str());
    if (r < 0) self->unavailable("cannot ask for session " + self->sessionId_);
  }
  return 0;
}

int LogindScreenLock::onSessionOfId(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<LogindScreenLock*>(userdata);
  const char* path = nullptr;
  const sd_bus_error* error = sd_bus_message_get_error(m);
  if (!error && sd_bus_message_read(m, "o", &path) > 0) {
    self->watchSession(path);
  } else {
    self->unavailable("no session " + self->sessionId_ + (error ? ": " + busErrorText(error) : ""));
  }
  return 0;
}

// Watch before reading, so that a change in between is not missed.
void LogindScreenLock::watchSession(const char* path) {
  sessionPath_ = path;
  const std::string match = "type='signal',sender='" + owner_ + "',path='" + sessionPath_ +
                            "',interface='" + kProperties + "',member='PropertiesChanged',arg0='" +
                            kSession + "'";
  changeSlot_ = sd_bus_slot_unref(changeSlot_);
  const int r =
      sd_bus_add_match_async(bus_, &changeSlot_, match.c_str(), onPropertiesChanged, nullptr, this);
  if (r < 0) return unavailable("cannot watch the session: " + std::string(std::strerror(-r)));
  readLockedHint();
}

void LogindScreenLock::readLockedHint() {
  callSlot_ = sd_bus_slot_unref(callSlot_);
  const int r =
      sd_bus_call_method_async(bus_, &callSlot_, owner_.c_str(), sessionPath_.c_str(), kProperties,
                               "Get", onLockedHint, this, "ss", kSession, "LockedHint");
  if (r < 0) unavailable("cannot read LockedHint: " + std::string(std::strerror(-r)));
}

int LogindScreenLock::onLockedHint(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<LogindScreenLock*>(userdata);
  int value = 0;
  if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
    self->unavailable("cannot read LockedHint: " + busErrorText(error));
  } else if (sd_bus_message_read(m, "v", "b", &value) < 0) {
    self->unavailable("LockedHint is not a boolean");
  } else {
    self->told_ = false;
    self->publish(value != 0);
  }
  return 0;
}

int LogindScreenLock::onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<LogindScreenLock*>(userdata);
  const char* sender = sd_bus_message_get_sender(m);
  const char* interface = nullptr;
  // Anyone may send us a signal directly: only logind's own connection speaks for it.
  if (!sender || self->owner_ != sender || sd_bus_message_read(m, "s", &interface) < 0 ||
      std::strcmp(interface, kSession) != 0 ||
      sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) {
    return 0;
  }
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char *name = nullptr, *contents = nullptr;
    char type = 0;
    int value = 0;
    if (sd_bus_message_read(m, "s", &name) < 0 ||
        sd_bus_message_peek_type(m, &type, &contents) < 0) {
      return 0;
    }
    if (std::strcmp(name, "LockedHint") == 0 && contents && std::strcmp(contents, "b") == 0) {
      if (sd_bus_message_read(m, "v", "b", &value) < 0) return 0;
      self->told_ = false;
      self->publish(value != 0);
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(m) < 0) return 0;
  }
  // Named without a value: the value has to be asked for.
  bool invalidated = false;
  const char* name = nullptr;
  if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_enter_container(m, 'a', "s") <= 0) {
    return 0;
  }
  while (sd_bus_message_read(m, "s", &name) > 0) {
    invalidated = invalidated || std::strcmp(name, "LockedHint") == 0;
  }
  if (invalidated) self->readLockedHint();
  return 0;
}

void LogindScreenLock::unavailable(const std::string& reason) {
  if (!told_) {
    diagnose("screen lock",
             "cannot follow the screen lock (logind: " + reason +
                 "); keys are typed while it is locked too",
             diagnosticsFd_);
  }
  told_ = true;
  publish(false);
}

// Posted, not called: whatever `onChange` does (destroying this object, say) happens outside
// the bus's processing.
void LogindScreenLock::publish(bool locked) {
  settled_ = true;
  if (locked_.exchange(locked) == locked || settling_) return;
  asio::post(context_, [alive = std::weak_ptr<char>(alive_), onChange = onChange_] {
    if (!alive.expired() && onChange) onChange();
  });
}

}  // namespace trovik
