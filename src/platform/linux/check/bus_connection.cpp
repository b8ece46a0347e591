#include "platform/linux/check/bus_connection.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/linux/desktop/session_bus.hpp"

namespace trovik::check {
namespace {

constexpr std::uint64_t kCallTimeoutUsec = 2'000'000;
constexpr const char* kBus = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

}  // namespace

BusConnection::BusConnection(sd_bus* bus, int error) : bus_(bus), error_(error) {
  if (bus_) sd_bus_set_method_call_timeout(bus_, kCallTimeoutUsec);
}

BusConnection BusConnection::session() {
  sd_bus* bus = nullptr;
  const int r = openSessionBus("", &bus);
  return BusConnection(r < 0 ? nullptr : bus, r);
}

BusConnection BusConnection::system() {
  sd_bus* bus = nullptr;
  const int r = openSystemBus("", &bus);
  return BusConnection(r < 0 ? nullptr : bus, r);
}

std::string BusConnection::problem() const {
  if (bus_) return "";
  // sd-bus's word for a bus whose address nothing gives.
  return error_ == -ENOMEDIUM ? "no bus address is set" : std::strerror(-error_);
}

bool BusConnection::serves(const char* name, bool activatable) const {
  if (!bus_) return false;
  sd_bus_message* reply = nullptr;
  int owned = 0;
  if (sd_bus_call_method(bus_, kBus, kBusPath, kBus, "NameHasOwner", nullptr, &reply, "s", name) >=
      0) {
    sd_bus_message_read(reply, "b", &owned);
  }
  reply = sd_bus_message_unref(reply);
  if (owned || !activatable) return owned;
  char** names = nullptr;
  if (sd_bus_call_method(bus_, kBus, kBusPath, kBus, "ListActivatableNames", nullptr, &reply, "") >=
      0) {
    sd_bus_message_read_strv(reply, &names);
  }
  sd_bus_message_unref(reply);
  bool found = false;
  for (char** n = names; n && *n; ++n) {
    found = found || std::string_view(*n) == name;
    std::free(*n);
  }
  std::free(names);
  return found;
}

}  // namespace trovik::check
