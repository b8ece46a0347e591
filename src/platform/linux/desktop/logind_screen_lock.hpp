#pragma once

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/desktop/asio_bus_pump.hpp"

namespace trovik {

// Whether the user's login session is locked: logind's LockedHint of this process's session
// (else of $XDG_SESSION_ID's), followed on the system bus as logind announces it. Without
// logind (no system bus, no login1, no session) the session counts as unlocked, and one line
// on standard error says so; a logind that starts or restarts later is followed from then on.
class LogindScreenLock {
 public:
  // `systemBus` empty: the system bus ($DBUS_SYSTEM_BUS_ADDRESS, else the well-known socket).
  // Waits at most half a second for logind's first answer, so that locked() is right from the
  // start; whatever comes later is served from `mainLoop`, whose thread runs `onChange` once
  // per change of locked(), never during construction. Construct and destroy on that thread;
  // no `onChange` runs after destruction. The line about a missing logind goes to
  // `diagnosticsFd`.
  LogindScreenLock(asio::io_context& mainLoop, std::string systemBus,
                   std::function<void()> onChange, int diagnosticsFd = STDERR_FILENO);
  ~LogindScreenLock();
  LogindScreenLock(const LogindScreenLock&) = delete;
  LogindScreenLock& operator=(const LogindScreenLock&) = delete;

  // Any thread; one atomic load.
  bool locked() const { return locked_.load(); }

 private:
  static int onOwner(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onOwnerChanged(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onSessionOfPid(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onSessionOfId(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onPropertiesChanged(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onLockedHint(sd_bus_message* m, void* self, sd_bus_error* error);

  void awaitFirstAnswer();
  void follow(std::string owner, const std::string& reasonWhenNone);
  void watchSession(const char* path);
  void readLockedHint();
  void unavailable(const std::string& reason);
  void publish(bool locked);

  asio::io_context& context_;
  const std::function<void()> onChange_;
  const int diagnosticsFd_;
  std::string sessionId_;  // $XDG_SESSION_ID, for a process outside any session
  std::atomic<bool> locked_{false};
  sd_bus* bus_ = nullptr;
  sd_bus_slot* ownerSlot_ = nullptr;   // NameOwnerChanged of login1
  sd_bus_slot* callSlot_ = nullptr;    // the one call in flight: a later step cancels it
  sd_bus_slot* changeSlot_ = nullptr;  // PropertiesChanged of the session
  std::string owner_;                  // login1's unique name, the only sender believed
  std::string sessionPath_;
  bool settling_ = true;  // inside the constructor
  bool settled_ = false;  // a value or an absence has been found
  bool told_ = false;     // said so since logind last gave a value
  std::shared_ptr<AsioBusPump> pump_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();  // expires with the object
};

}  // namespace trovik
