#include "platform/linux/desktop/sni_status_bar.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/desktop/session_bus.hpp"
#include "platform/linux/desktop/sni_status_item.hpp"
#include "platform/linux/diagnostics.hpp"

namespace trovik {

SniStatusBar::SniStatusBar(asio::io_context& context, std::string busAddress)
    : context_(context), busAddress_(std::move(busAddress)) {}

std::shared_ptr<StatusItem> SniStatusBar::statusItemWithLength(double) {
  sd_bus* bus = nullptr;
  int r = openSessionBus(busAddress_, &bus);
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
