#include "platform/linux/desktop/sni_status_bar.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/desktop/sni_status_item.hpp"
#include "platform/linux/stdout_log.hpp"

namespace trovik {
namespace {

int openBus(const std::string& address, sd_bus** bus) {
  if (address.empty()) return sd_bus_open_user(bus);
  int r = sd_bus_new(bus);
  if (r < 0) return r;
  if ((r = sd_bus_set_address(*bus, address.c_str())) < 0 ||
      (r = sd_bus_set_bus_client(*bus, 1)) < 0 || (r = sd_bus_start(*bus)) < 0) {
    *bus = sd_bus_close_unref(*bus);
  }
  return r;
}

}  // namespace

SniStatusBar::SniStatusBar(asio::io_context& context, std::string busAddress)
    : context_(context), busAddress_(std::move(busAddress)) {}

std::shared_ptr<StatusItem> SniStatusBar::statusItemWithLength(double) {
  sd_bus* bus = nullptr;
  int r = openBus(busAddress_, &bus);
  if (r < 0) {
    // sd-bus says "no medium" when no address is set at all.
    const std::string why = r == -ENOMEDIUM ? "none is set" : std::strerror(-r);
    diagnose("status item", "no session bus (" + why + "); no tray icon (stop with Ctrl+C)");
    return nullptr;
  }
  const std::string name =
      "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(++items_);
  auto item = std::make_shared<SniStatusItem>(context_, bus, name, [this](const MenuItem& line) {
    deliverMenuAction(line, delegate_.lock());
  });
  if ((r = item->start()) < 0) {
    diagnose("status item", "cannot serve the tray icon (" + std::string(std::strerror(-r)) + ")");
    return nullptr;
  }
  return item;
}

}  // namespace trovik
