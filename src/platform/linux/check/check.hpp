#pragma once

#include <string>
#include <string_view>

namespace trovik::check {

// One service's state, as `trovik-helper --check` prints it: "ok", "warn" or "missing", the
// service, what was found and, unless ok, what to do.
struct Finding {
  enum class Level { ok, warn, missing };
  Level level = Level::ok;
  std::string service;
  std::string found;
  std::string todo;
  // Tablets cannot find the agent or it cannot type while this stands.
  bool blocks = false;
};

inline Finding ok(std::string service, std::string found) {
  return {Finding::Level::ok, std::move(service), std::move(found), {}, false};
}
inline Finding warn(std::string service, std::string found, std::string todo, bool blocks = false) {
  return {Finding::Level::warn, std::move(service), std::move(found), std::move(todo), blocks};
}
inline Finding missing(std::string service, std::string found, std::string todo,
                       bool blocks = false) {
  return {Finding::Level::missing, std::move(service), std::move(found), std::move(todo), blocks};
}

// The command port and the service type the agent advertises.
inline constexpr unsigned kCommandPort = 9876;
inline constexpr std::string_view kServiceType = "_trovik._udp";

Finding keyboard();
Finding discovery();
Finding commandPort();
Finding firewall();
Finding tray();
Finding applicationInFront();
Finding notifications();
Finding openAtLogin();
// `askKey` names the setting "Ask Before New Tablets Type" in the user's defaults.
Finding whoMayType(const std::string& askKey);

// `trovik-helper --check`: one line per service on standard output. 0 when tablets can find
// the agent and it can type, else 1. Binds nothing and takes nothing from a running agent.
int runCheck(const std::string& askKey);

}  // namespace trovik::check
