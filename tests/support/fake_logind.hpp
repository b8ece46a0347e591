#pragma once

#include <atomic>
#include <string_view>

#include "support/fake_bus_service.hpp"

namespace trovik::testing {

// Stands in for systemd-logind on a test's system bus: one login session and its LockedHint.
// The agent is outside any session by its process, as one started by a user service is; it
// finds this one by $XDG_SESSION_ID.
class FakeLogind {
 public:
  static constexpr const char* kSessionId = "7";
  static constexpr const char* kSessionPath = "/org/freedesktop/login1/session/_37";

  explicit FakeLogind(const std::string& address)
      : service_(address, "org.freedesktop.login1",
                 [this](sd_bus_message* m) { return answer(m); }) {}
  bool ready() const { return service_.ready(); }

  // Sets LockedHint and says so, also for the value it already has. What the agent makes of
  // it is what a test waits for.
  void setLocked(bool locked) {
    locked_ = locked;
    service_.onBus([locked](sd_bus* bus) {
      sd_bus_emit_signal(bus, kSessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                         "sa{sv}as", "org.freedesktop.login1.Session", 1, "LockedHint", "b",
                         int(locked), 0);
    });
  }

 private:
  int answer(sd_bus_message* m) {
    if (sd_bus_message_is_method_call(m, nullptr, "GetSessionByPID") > 0) {
      return sd_bus_reply_method_errorf(m, "org.freedesktop.login1.NoSessionForPID",
                                        "PID does not belong to any known session");
    }
    if (sd_bus_message_is_method_call(m, nullptr, "GetSession") > 0) {
      const char* id = "";
      sd_bus_message_read(m, "s", &id);
      if (std::string_view(id) == kSessionId)
        return sd_bus_reply_method_return(m, "o", kSessionPath);
      return sd_bus_reply_method_errorf(m, "org.freedesktop.login1.NoSuchSession",
                                        "No session '%s' known", id);
    }
    if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Properties", "Get") > 0) {
      return sd_bus_reply_method_return(m, "v", "b", int(locked_.load()));
    }
    return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_METHOD, "Unknown method");
  }

  std::atomic<bool> locked_{false};
  test::FakeBusService service_;  // last: its thread answers from the members above
};

}  // namespace trovik::testing
