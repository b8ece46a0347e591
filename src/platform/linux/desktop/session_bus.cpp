#include "platform/linux/desktop/session_bus.hpp"

namespace trovik {
namespace {

int openBusAt(const std::string& address, sd_bus** bus) {
  int r = sd_bus_new(bus);
  if (r < 0) return r;
  if ((r = sd_bus_set_address(*bus, address.c_str())) < 0 ||
      (r = sd_bus_set_bus_client(*bus, 1)) < 0 || (r = sd_bus_start(*bus)) < 0) {
    *bus = sd_bus_close_unref(*bus);
  }
  return r;
}

}  // namespace

int openSessionBus(const std::string& address, sd_bus** bus) {
  return address.empty() ? sd_bus_open_user(bus) : openBusAt(address, bus);
}

int openSystemBus(const std::string& address, sd_bus** bus) {
  return address.empty() ? sd_bus_open_system(bus) : openBusAt(address, bus);
}

std::string busErrorText(const sd_bus_error* error) {
  return error->message && *error->message ? error->message : error->name;
}

}  // namespace trovik
