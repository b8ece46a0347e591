#include "platform/linux/desktop/dbus_menu.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/linux/desktop/dbus_menu_layout.hpp"
#include "platform/linux/desktop/dbus_menu_message.hpp"

namespace trovik {
namespace {

constexpr const char* kInterface = "com.canonical.dbusmenu";
using namespace dbusmenu;

int sendReply(sd_bus_message* reply, int r) {
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int noMenuItem(sd_bus_error* error, std::int32_t id) {
  return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", int(id));
}

}  // namespace

const sd_bus_vtable DbusMenu::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", &DbusMenu::getLayout,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", &DbusMenu::getGroupProperties,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetProperty", "is", "v", &DbusMenu::getProperty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Event", "isvu", "", &DbusMenu::event, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", &DbusMenu::eventGroup, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD(
        "AboutToShow", "i", "b",
        [](sd_bus_message* m, void* self, sd_bus_error* error) {
          std::int32_t id = 0;
          const int r = sd_bus_message_read(m, "i", &id);
          if (r < 0) return r;
          if (!static_cast<DbusMenu*>(self)->known(id)) return noMenuItem(error, id);
          return sd_bus_reply_method_return(m, "b", 0);  // the layout is always current
        },
        SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", &DbusMenu::aboutToShowGroup,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY(
        "Version", "u",
        [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) { return sd_bus_message_append(reply, "u", 3u); },
        0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY(
        "TextDirection", "s",
        [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) { return sd_bus_message_append(reply, "s", "ltr"); },
        0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY(
        "Status", "s",
        [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) { return sd_bus_message_append(reply, "s", "normal"); },
        0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY(
        "IconThemePath", "as",
        [](sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) { return sd_bus_message_append(reply, "as", 0); },
        0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_VTABLE_END};

DbusMenu::DbusMenu(sd_bus* bus, std::string path, Clicked clicked, Changed changed)
    : bus_(bus),
      path_(std::move(path)),
      clicked_(std::move(clicked)),
      changed_(std::move(changed)) {}

DbusMenu::~DbusMenu() {
  observe(false);
  sd_bus_slot_unref(slot_);
}

int DbusMenu::attach() {
  return sd_bus_add_object_vtable(bus_, &slot_, path_.c_str(), kInterface, kVtable, this);
}

void DbusMenu::setMenu(std::shared_ptr<Menu> menu) {
  observe(false);
  menu_ = std::move(menu);
  observe(true);
  ++revision_;
  if (slot_)
    sd_bus_emit_signal(bus_, path_.c_str(), kInterface, "LayoutUpdated", "ui", revision_, 0);
}

std::shared_ptr<MenuItem> DbusMenu::item(std::int32_t id) const {
  if (!menu_ || id < 1 || std::size_t(id) > menu_->items().size()) return nullptr;
  return menu_->items()[std::size_t(id) - 1];
}

void DbusMenu::observe(bool on) {
  if (!menu_) return;
  const auto& items = menu_->items();
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i]->setObserver(on ? std::function<void()>([this, i] { itemChanged(i); }) : nullptr);
  }
}

void DbusMenu::itemChanged(std::size_t index) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_signal(bus_, &m, path_.c_str(), kInterface, "ItemsPropertiesUpdated");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(ia{sv})");
  if (r >= 0) {
    const auto id = std::int32_t(index + 1);
    r = appendEntry(m, id, dbusmenu::itemProperties(*item(id)), {});
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_append(m, "a(ias)", 0);
  if (r >= 0 && slot_) sd_bus_send(bus_, m, nullptr);
  sd_bus_message_unref(m);
  if (changed_) changed_(index);
}

void DbusMenu::handleEvent(std::int32_t id, const char* name) {
  if (std::string_view(name) != "clicked") return;
  if (auto line = item(id); line && !line->isSeparator() && clicked_) clicked_(line);
}

int DbusMenu::getLayout(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* self = static_cast<DbusMenu*>(userdata);
  std::int32_t parent = 0, depth = 0;
  Names names;
  int r = sd_bus_message_read(m, "ii", &parent, &depth);
  if (r >= 0) r = readNames(m, names);
  if (r < 0) return r;
  if (!self->known(parent)) return noMenuItem(error, parent);
  // Items have no submenus: only the root has children, sent unless depth is 0.
  std::vector<Properties> children;
  if (parent == 0 && depth != 0 && self->menu_) {
    for (const auto& line : self->menu_->items())
      children.push_back(dbusmenu::itemProperties(*line));
  }
  const Properties properties =
      parent == 0 ? dbusmenu::rootProperties() : dbusmenu::itemProperties(*self->item(parent));
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = sd_bus_message_append(reply, "u", self->revision_);
  if (r >= 0) r = appendNode(reply, parent, properties, children, names);
  return sendReply(reply, r);
}

int DbusMenu::getGroupProperties(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DbusMenu*>(userdata);
  std::vector<std::int32_t> ids;
  Names names;
  int r = readIds(m, ids);
  if (r >= 0) r = readNames(m, names);
  if (r < 0) return r;
  if (ids.empty() && self->menu_) {  // none asked for: every line
    for (std::size_t i = 1; i <= self->menu_->items().size(); ++i) ids.push_back(std::int32_t(i));
  }
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
  for (std::int32_t id : ids) {
    if (r < 0 || !self->known(id)) continue;
    const auto line = self->item(id);
    r = appendEntry(reply, id, line ? dbusmenu::itemProperties(*line) : dbusmenu::rootProperties(),
                    names);
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  return sendReply(reply, r);
}

int DbusMenu::getProperty(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* self = static_cast<DbusMenu*>(userdata);
  std::int32_t id = 0;
  const char* name = "";
  int r = sd_bus_message_read(m, "is", &id, &name);
  if (r < 0) return r;
  if (!self->known(id)) return noMenuItem(error, id);
  const auto line = self->item(id);
  const Properties properties = line ? dbusmenu::itemProperties(*line) : dbusmenu::rootProperties();
  const auto found = std::find_if(properties.begin(), properties.end(),
                                  [&](const auto& property) { return property.name == name; });
  if (found == properties.end()) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "menu item %d has no property %s",
                             int(id), name);
  }
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = appendValue(reply, found->value);
  return sendReply(reply, r);
}

int DbusMenu::event(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* self = static_cast<DbusMenu*>(userdata);
  std::int32_t id = 0;
  const char* name = "";
  std::uint32_t timestamp = 0;
  // Hosts send the event's data with different types; nothing here needs it.
  int r = sd_bus_message_read(m, "is", &id, &name);
  if (r >= 0) r = sd_bus_message_skip(m, "v");
  if (r >= 0) r = sd_bus_message_read(m, "u", &timestamp);
  if (r < 0) return r;
  if (!self->known(id)) return noMenuItem(error, id);
  self->handleEvent(id, name);
  return sd_bus_reply_method_return(m, "");
}

int DbusMenu::eventGroup(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DbusMenu*>(userdata);
  std::vector<std::int32_t> unknown;
  int r = sd_bus_message_enter_container(m, 'a', "(isvu)");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "isvu")) > 0) {
    std::int32_t id = 0;
    const char* name = "";
    std::uint32_t timestamp = 0;
    r = sd_bus_message_read(m, "is", &id, &name);
    if (r >= 0) r = sd_bus_message_skip(m, "v");
    if (r >= 0) r = sd_bus_message_read(m, "u", &timestamp);
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r < 0) break;
    if (self->known(id)) {
      self->handleEvent(id, name);
    } else {
      unknown.push_back(id);
    }
  }
  if (r >= 0) r = sd_bus_message_exit_container(m);
  if (r < 0) return r;
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = sd_bus_message_append_array(reply, 'i', unknown.data(), unknown.size() * 4);
  return sendReply(reply, r);
}

int DbusMenu::aboutToShowGroup(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DbusMenu*>(userdata);
  std::vector<std::int32_t> ids;
  const int r = readIds(m, ids);
  if (r < 0) return r;
  std::erase_if(ids, [self](std::int32_t id) { return self->known(id); });
  sd_bus_message* reply = nullptr;
  int w = sd_bus_message_new_method_return(m, &reply);
  if (w >= 0) w = sd_bus_message_append(reply, "ai", 0);  // no line needs an update
  if (w >= 0) w = sd_bus_message_append_array(reply, 'i', ids.data(), ids.size() * 4);
  return sendReply(reply, w);
}

}  // namespace trovik
