#include "platform/linux/desktop/dbus_menu_message.hpp"

#include <algorithm>
#include <cstdlib>

namespace trovik::dbusmenu {
namespace {

int appendShortcut(sd_bus_message* m, const Shortcut& shortcut) {
  int r = sd_bus_message_open_container(m, 'v', "aas");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "as");
  for (const auto& keys : shortcut) {
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "s");
    for (const auto& key : keys) {
      if (r >= 0) r = sd_bus_message_append(m, "s", key.c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r < 0 ? r : sd_bus_message_close_container(m);
}

}  // namespace

int appendValue(sd_bus_message* m, const Value& value) {
  if (auto* text = std::get_if<std::string>(&value)) {
    return sd_bus_message_append(m, "v", "s", text->c_str());
  }
  if (auto* flag = std::get_if<bool>(&value)) return sd_bus_message_append(m, "v", "b", *flag);
  if (auto* number = std::get_if<std::int32_t>(&value)) {
    return sd_bus_message_append(m, "v", "i", *number);
  }
  return appendShortcut(m, std::get<Shortcut>(value));
}

int readNames(sd_bus_message* m, Names& names) {
  char** strv = nullptr;
  const int r = sd_bus_message_read_strv(m, &strv);
  for (char** s = strv; s && *s; ++s) {
    names.emplace_back(*s);
    std::free(*s);
  }
  std::free(strv);
  return r;
}

int readIds(sd_bus_message* m, std::vector<std::int32_t>& ids) {
  const void* data = nullptr;
  std::size_t size = 0;
  const int r = sd_bus_message_read_array(m, 'i', &data, &size);
  if (r < 0) return r;
  const auto* first = static_cast<const std::int32_t*>(data);
  ids.assign(first, first + size / sizeof(std::int32_t));
  return 0;
}

int appendProperties(sd_bus_message* m, const Properties& properties, const Names& names) {
  int r = sd_bus_message_open_container(m, 'a', "{sv}");
  for (const auto& property : properties) {
    if (!names.empty() && std::find(names.begin(), names.end(), property.name) == names.end()) {
      continue;
    }
    if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append(m, "s", property.name.c_str());
    if (r >= 0) r = appendValue(m, property.value);
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  return r < 0 ? r : sd_bus_message_close_container(m);
}

int appendNode(sd_bus_message* m, std::int32_t id, const Properties& properties,
               const std::vector<Properties>& children, const Names& names) {
  int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
  if (r >= 0) r = sd_bus_message_append(m, "i", id);
  if (r >= 0) r = appendProperties(m, properties, names);
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "v");
  for (std::size_t i = 0; i < children.size() && r >= 0; ++i) {
    r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
    if (r >= 0) r = appendNode(m, std::int32_t(i + 1), children[i], {}, names);
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r < 0 ? r : sd_bus_message_close_container(m);
}

int appendEntry(sd_bus_message* m, std::int32_t id, const Properties& properties,
                const Names& names) {
  int r = sd_bus_message_open_container(m, 'r', "ia{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "i", id);
  if (r >= 0) r = appendProperties(m, properties, names);
  return r < 0 ? r : sd_bus_message_close_container(m);
}

}  // namespace trovik::dbusmenu
