#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/desktop/dbus_menu_layout.hpp"

// com.canonical.dbusmenu values read from and written into sd-bus messages. Each returns
// what sd-bus returned: negative on failure, with the message then unusable.
namespace trovik::dbusmenu {

using Names = std::vector<std::string>;

int readNames(sd_bus_message* m, Names& names);
int readIds(sd_bus_message* m, std::vector<std::int32_t>& ids);
// One "v".
int appendValue(sd_bus_message* m, const Value& value);
// "a{sv}", keeping only the properties in `names` unless it is empty.
int appendProperties(sd_bus_message* m, const Properties& properties, const Names& names);
// One "(ia{sv}av)" node; `children` are the properties of its items, numbered from 1.
int appendNode(sd_bus_message* m, std::int32_t id, const Properties& properties,
               const std::vector<Properties>& children, const Names& names);
// One "(ia{sv})" entry of a property list.
int appendEntry(sd_bus_message* m, std::int32_t id, const Properties& properties,
                const Names& names);

}  // namespace trovik::dbusmenu
