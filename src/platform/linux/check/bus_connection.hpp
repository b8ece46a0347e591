#pragma once

#include <systemd/sd-bus.h>

#include <string>

namespace trovik::check {

// A short-lived bus connection for the checks: every call gives up after two seconds, so a
// stalled bus or service cannot hold up the answer.
class BusConnection {
 public:
  static BusConnection session();
  static BusConnection system();
  ~BusConnection() { sd_bus_flush_close_unref(bus_); }
  BusConnection(BusConnection&& other) noexcept : bus_(other.bus_), error_(other.error_) {
    other.bus_ = nullptr;
  }
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  sd_bus* get() const { return bus_; }
  // Why there is no connection, in words; empty when there is one.
  std::string problem() const;
  // Whether a peer owns `name` now, or, with `activatable`, the bus would start one for it.
  // Asking never starts one.
  bool serves(const char* name, bool activatable = false) const;

 private:
  BusConnection(sd_bus* bus, int error);
  sd_bus* bus_;
  int error_;
};

}  // namespace trovik::check
