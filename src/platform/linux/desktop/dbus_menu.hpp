#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/menu.hpp"

namespace trovik {

// A Menu served as com.canonical.dbusmenu (version 3) at one object path: the root is id 0
// and the item at index i is id i + 1. Titles and check marks that change in the model go out
// as ItemsPropertiesUpdated. Main thread only, like the bus it is served on.
class DbusMenu {
 public:
  // Runs for a "clicked" event on a line, inside the bus's processing.
  using Clicked = std::function<void(const std::shared_ptr<MenuItem>&)>;
  // Runs after the line at `index` changed and its signal went out.
  using Changed = std::function<void(std::size_t index)>;

  DbusMenu(sd_bus* bus, std::string path, Clicked clicked, Changed changed);
  ~DbusMenu();  // stops observing the items
  DbusMenu(const DbusMenu&) = delete;
  DbusMenu& operator=(const DbusMenu&) = delete;

  // Puts the object on the bus; a negative errno when it cannot.
  int attach();
  // Shows `menu` from now on (null: an empty menu) and tells hosts to read it again.
  void setMenu(std::shared_ptr<Menu> menu);
  const std::shared_ptr<Menu>& menu() const { return menu_; }
  const std::string& path() const { return path_; }

 private:
  static int getLayout(sd_bus_message* m, void* self, sd_bus_error* error);
  static int getGroupProperties(sd_bus_message* m, void* self, sd_bus_error* error);
  static int getProperty(sd_bus_message* m, void* self, sd_bus_error* error);
  static int event(sd_bus_message* m, void* self, sd_bus_error* error);
  static int eventGroup(sd_bus_message* m, void* self, sd_bus_error* error);
  static int aboutToShowGroup(sd_bus_message* m, void* self, sd_bus_error* error);
  static const sd_bus_vtable kVtable[];

  // The line with dbusmenu id `id`; null for the root and for ids that name no line.
  std::shared_ptr<MenuItem> item(std::int32_t id) const;
  bool known(std::int32_t id) const { return id == 0 || item(id) != nullptr; }
  void handleEvent(std::int32_t id, const char* name);
  void observe(bool on);
  void itemChanged(std::size_t index);

  sd_bus* bus_;
  std::string path_;
  Clicked clicked_;
  Changed changed_;
  sd_bus_slot* slot_ = nullptr;
  std::shared_ptr<Menu> menu_;
  std::uint32_t revision_ = 1;
};

}  // namespace trovik
