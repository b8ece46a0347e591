#include "platform/linux/desktop/sni_status_item.hpp"

#include <asio/post.hpp>
#include <cstring>
#include <string_view>

#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.kde.StatusNotifierWatcher'";

// The freedesktop icon names of the symbols the agent shows.
std::string iconFor(const std::string& symbolName) {
  return symbolName == "scissors" ? "edit-cut" : symbolName;
}

int acceptAndIgnore(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "");
}

}  // namespace

const sd_bus_vtable SniStatusItem::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", &SniStatusItem::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Id", "s", &SniStatusItem::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Title", "s", &SniStatusItem::getProperty, 0, 0),
    SD_BUS_PROPERTY("Status", "s", &SniStatusItem::getProperty, 0, 0),
    SD_BUS_PROPERTY("IconName", "s", &SniStatusItem::getProperty, 0, 0),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", &SniStatusItem::getProperty, 0, 0),
    SD_BUS_PROPERTY("ItemIsMenu", "b", &SniStatusItem::getProperty, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Menu", "o", &SniStatusItem::getProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    // The menu is the whole interface: clicks and scrolling on the icon itself do nothing.
    SD_BUS_METHOD("ContextMenu", "ii", "", acceptAndIgnore, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Activate", "ii", "", acceptAndIgnore, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", acceptAndIgnore, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Scroll", "is", "", acceptAndIgnore, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("NewTitle", "", 0), SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0), SD_BUS_SIGNAL("NewStatus", "s", 0), SD_BUS_VTABLE_END};

SniStatusItem::SniStatusItem(asio::io_context& context, sd_bus* bus, std::string name,
                             Deliver deliver)
    : context_(context),
      bus_(bus),
      name_(std::move(name)),
      deliver_(std::move(deliver)),
      menu_(
          bus, kMenuPath,
          [this](const std::shared_ptr<MenuItem>& line) {
            // After the reply: an action may end the loop or change the menu it came from.
            asio::post(context_, [deliver = deliver_, line] { deliver(*line); });
          },
          [this](std::size_t index) { lineChanged(index); }) {}

SniStatusItem::~SniStatusItem() {
  if (pump_) pump_->stop();
  for (sd_bus_slot* slot : {registerSlot_, nameSlot_, watchSlot_, objectSlot_}) {
    sd_bus_slot_unref(slot);
  }
  // Whatever is still queued (the reply to a Quit, say) goes out before the name is released.
  sd_bus_flush_close_unref(bus_);
}

int SniStatusItem::start() {
  int r = sd_bus_add_object_vtable(bus_, &objectSlot_, kItemPath, kItemInterface, kVtable, this);
  if (r >= 0) r = menu_.attach();
  // Watch for the watcher before looking for it, so one that starts in between is not missed.
  if (r >= 0)
    r = sd_bus_add_match_async(bus_, &watchSlot_, kWatcherMatch, onWatcherChanged, nullptr, this);
  if (r >= 0)
    r = sd_bus_request_name_async(bus_, &nameSlot_, name_.c_str(), 0, onNameRequested, this);
  if (r < 0) return r;
  pump_ = AsioBusPump::start(context_, bus_, [](int error) {
    diagnose("status item", "lost the session bus (" + std::string(std::strerror(-error)) +
                                "); no tray icon from now on");
  });
  return pump_ ? 0 : -errno;
}

void SniStatusItem::setMenu(std::shared_ptr<Menu> menu) {
  menu_.setMenu(std::move(menu));
  emit("NewToolTip");
}

void SniStatusItem::setImage(const std::string& symbolName, const std::string& description) {
  iconName_ = iconFor(symbolName);
  title_ = description;
  emit("NewIcon");
  emit("NewTitle");
  emit("NewToolTip");
}

void SniStatusItem::lineChanged(std::size_t index) {
  if (index == 1) emit("NewToolTip");
  if (pump_) pump_->schedule();
}

void SniStatusItem::emit(const char* signal) {
  if (!objectSlot_) return;
  sd_bus_emit_signal(bus_, kItemPath, kItemInterface, signal, "");
  if (pump_) pump_->schedule();
}

// The line under the menu's heading says what the agent is doing; hovering shows it.
std::string SniStatusItem::toolTipText() const {
  const auto& menu = menu_.menu();
  if (!menu || menu->items().size() < 2 || menu->items()[1]->isSeparator()) return {};
  return menu->items()[1]->title();
}

int SniStatusItem::getProperty(sd_bus*, const char*, const char*, const char* property,
                               sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SniStatusItem*>(userdata);
  const std::string_view name(property);
  if (name == "Category") return sd_bus_message_append(reply, "s", "ApplicationStatus");
  if (name == "Id") return sd_bus_message_append(reply, "s", "trovik-helper");
  if (name == "Title") return sd_bus_message_append(reply, "s", self->title_.c_str());
  if (name == "Status") return sd_bus_message_append(reply, "s", "Active");
  if (name == "IconName") return sd_bus_message_append(reply, "s", self->iconName_.c_str());
  if (name == "ItemIsMenu") return sd_bus_message_append(reply, "b", 1);
  if (name == "Menu") return sd_bus_message_append(reply, "o", kMenuPath);
  // ToolTip: no icon of its own, the title, and the current status line.
  return sd_bus_message_append(reply, "(sa(iiay)ss)", "", 0, self->title_.c_str(),
                               self->toolTipText().c_str());
}

int SniStatusItem::onNameRequested(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SniStatusItem*>(userdata);
  if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
    diagnose("status item", "cannot own " + self->name_ + " on the session bus (" +
                                (error->message ? error->message : error->name) +
                                "); no tray icon");
    return 0;
  }
  self->ownsName_ = true;
  self->registerWithWatcher();
  return 0;
}

int SniStatusItem::onWatcherChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SniStatusItem*>(userdata);
  const char *name = "", *before = "", *after = "";
  if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
  // A tray that starts, or starts again, knows nothing of the items from before.
  if (*after) self->registerWithWatcher();
  return 0;
}

void SniStatusItem::registerWithWatcher() {
  if (!ownsName_) return;  // the name's owner registers once the name is ours
  registerSlot_ = sd_bus_slot_unref(registerSlot_);
  sd_bus_call_method_async(bus_, &registerSlot_, kWatcher, "/StatusNotifierWatcher", kWatcher,
                           "RegisterStatusNotifierItem", onRegistered, this, "s", name_.c_str());
}

int SniStatusItem::onRegistered(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<SniStatusItem*>(userdata);
  const sd_bus_error* error = sd_bus_message_get_error(m);
  if (!error) return 0;
  if (sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
      sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    if (!self->toldNoTray_) {
      diagnose("status item",
               "no tray is running (nothing owns org.kde.StatusNotifierWatcher); the icon "
               "appears when one starts (until then, stop with Ctrl+C)");
    }
    self->toldNoTray_ = true;
    return 0;
  }
  diagnose("status item", std::string("the tray refused the icon (") +
                              (error->message ? error->message : error->name) + ")");
  return 0;
}

}  // namespace trovik
