#pragma once

#include <systemd/sd-bus.h>

#include <string>

namespace trovik {

// Connects `*bus` to the user's session bus, or to the bus at `address` when one is given
// (a test's private bus). A negative errno, with `*bus` null, when it cannot.
int openSessionBus(const std::string& address, sd_bus** bus);

// The same for the system bus: empty `address` is $DBUS_SYSTEM_BUS_ADDRESS, else the
// well-known socket.
int openSystemBus(const std::string& address, sd_bus** bus);

// What a failed call's error says: its message, else its name.
std::string busErrorText(const sd_bus_error* error);

}  // namespace trovik
