#pragma once

#include <systemd/sd-bus.h>

#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/desktop/asio_bus_pump.hpp"
#include "platform/linux/desktop/dbus_menu.hpp"
#include "platform/status_bar.hpp"

namespace trovik {

// A tray icon as a StatusNotifierItem, its menu as com.canonical.dbusmenu, on a bus of its
// own that the main thread serves. It registers with the StatusNotifierWatcher whenever one
// appears, so a tray that starts late or restarts shows it again. Main thread only.
class SniStatusItem final : public StatusItem, public StatusBarButton {
 public:
  // Delivers a picked line's action; runs on the main thread outside the bus's processing.
  using Deliver = std::function<void(const MenuItem&)>;

  // Takes `bus`, already connected; `name` is the bus name to own.
  SniStatusItem(asio::io_context& context, sd_bus* bus, std::string name, Deliver deliver);
  ~SniStatusItem() override;
  SniStatusItem(const SniStatusItem&) = delete;
  SniStatusItem& operator=(const SniStatusItem&) = delete;

  // Puts the item on the bus and starts serving it; a negative errno when it cannot.
  int start();

  StatusBarButton* button() override { return this; }
  void setMenu(std::shared_ptr<Menu> menu) override;
  void setImage(const std::string& symbolName, const std::string& description) override;

 private:
  static int onWatcherChanged(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onNameRequested(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onRegistered(sd_bus_message* m, void* self, sd_bus_error* error);
  static int getProperty(sd_bus*, const char*, const char*, const char* property,
                         sd_bus_message* reply, void* self, sd_bus_error*);
  static const sd_bus_vtable kVtable[];

  void registerWithWatcher();
  void lineChanged(std::size_t index);
  void emit(const char* signal);
  std::string toolTipText() const;

  asio::io_context& context_;
  sd_bus* bus_;
  const std::string name_;
  Deliver deliver_;
  DbusMenu menu_;
  std::string iconName_;
  std::string title_ = "Trovik Helper";
  sd_bus_slot* objectSlot_ = nullptr;
  sd_bus_slot* watchSlot_ = nullptr;
  sd_bus_slot* nameSlot_ = nullptr;
  sd_bus_slot* registerSlot_ = nullptr;
  bool ownsName_ = false;
  bool toldNoTray_ = false;
  std::shared_ptr<AsioBusPump> pump_;
};

}  // namespace trovik
