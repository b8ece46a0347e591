// The checks of the services the agent finds on D-Bus: avahi-daemon on the system bus, and a
// tray and a notification service on the session bus.

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <filesystem>

#include "platform/linux/check/bus_connection.hpp"
#include "platform/linux/check/check.hpp"
#include "platform/linux/desktop/linux_host_info.hpp"
#include "platform/linux/dnssd/dns_sd_name.hpp"

namespace trovik::check {
namespace {

constexpr const char* kNoSessionBus = "start trovik-helper inside your desktop session";

std::string avahiTodo() {
  return std::filesystem::exists("/usr/sbin/avahi-daemon")
             ? "run \"sudo systemctl enable --now avahi-daemon\""
             : "install it: \"sudo apt install avahi-daemon\"";
}

}  // namespace

Finding discovery() {
  const std::string service = "discovery";
  // The name the agent asks for; a running agent may have had to take another.
  const auto name = fitServiceName(LinuxHostInfo().localizedName().value_or("Mac"));
  AvahiSimplePoll* poll = avahi_simple_poll_new();
  if (!poll) return missing(service, "cannot ask avahi-daemon (out of memory)", avahiTodo(), true);
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL: a daemon that is not there fails the call at once.
  AvahiClient* client = avahi_client_new(
      avahi_simple_poll_get(poll), AvahiClientFlags(0),
      [](AvahiClient*, AvahiClientState, void*) {}, nullptr, &error);
  const AvahiClientState state = client ? avahi_client_get_state(client) : AVAHI_CLIENT_FAILURE;
  if (client) avahi_client_free(client);
  avahi_simple_poll_free(poll);

  if (!client) {
    const std::string found = error == AVAHI_ERR_NO_DAEMON
                                  ? "avahi-daemon is not running"
                                  : "cannot reach avahi-daemon on the system bus (" +
                                        std::string(avahi_strerror(error)) + ")";
    return missing(service, found + ", so tablets cannot find this computer", avahiTodo(), true);
  }
  if (state != AVAHI_CLIENT_S_RUNNING) {
    return warn(service, "avahi-daemon runs but does not publish yet (its host name is taken)",
                "see \"journalctl -u avahi-daemon\"", true);
  }
  return ok(service, "avahi-daemon runs; tablets find this computer as \"" + name.value_or("") +
                         "\" (" + std::string(kServiceType) + ")");
}

Finding tray() {
  const std::string service = "tray";
  const auto bus = BusConnection::session();
  if (!bus.get()) {
    return missing(service, "no session bus (" + bus.problem() + "), so no tray icon",
                   kNoSessionBus);
  }
  if (bus.serves("org.kde.StatusNotifierWatcher")) {
    return ok(service, "a tray shows the icon (org.kde.StatusNotifierWatcher)");
  }
  return missing(service, "no tray is running (nothing owns org.kde.StatusNotifierWatcher)",
                 "on GNOME turn on the AppIndicator extension "
                 "(gnome-shell-extension-appindicator); elsewhere add a status tray to the panel");
}

Finding notifications() {
  const std::string service = "notifications";
  const std::string todo =
      "start your desktop's notification service; until then a new tablet waits for Allow "
      "Tablet in the menu, or \"trovik-helper --allow ADDRESS\"";
  const auto bus = BusConnection::session();
  if (!bus.get()) {
    return missing(service,
                   "no session bus (" + bus.problem() + "), so new tablets cannot be asked about",
                   kNoSessionBus);
  }
  if (bus.serves("org.freedesktop.Notifications", true)) {
    return ok(service, "new tablets are asked about in a notification");
  }
  return missing(service, "no notification service (org.freedesktop.Notifications)", todo);
}

}  // namespace trovik::check
