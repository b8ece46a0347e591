#include "platform/linux/check/check.hpp"

#include <cstdio>
#include <vector>

#include "platform/linux/desktop/executable_bundle.hpp"
#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/desktop/trusted_tablets.hpp"
#include "platform/linux/desktop/unavailable.hpp"
#include "platform/linux/desktop/xdg_login_items.hpp"

namespace trovik::check {
namespace {

std::string lineOf(const Finding& finding) {
  constexpr const char* kLevels[] = {"ok      ", "warn    ", "missing "};
  std::string line =
      kLevels[static_cast<int>(finding.level)] + finding.service + ": " + finding.found;
  if (!finding.todo.empty()) line += "; " + finding.todo;
  return line + "\n";
}

}  // namespace

Finding openAtLogin() {
  const std::string service = "open at login";
  UnavailableWorkspace noWorkspace;
  const auto program = runningProgram();
  XdgLoginItems items({XdgLoginItems::defaultEntry(), program, installedDesktopEntry(program)},
                      noWorkspace);
  switch (items.status()) {
    case LoginItemStatus::enabled:
      return ok(service, "on (" + XdgLoginItems::defaultEntry().string() + ")");
    case LoginItemStatus::notFound:
      return warn(service,
                  "this copy of trovik-helper is not installed, so it cannot open at login",
                  "install the package to have it open at login");
    default:
      return ok(service, "off (turn it on with Open at Login in the menu)");
  }
}

Finding whoMayType(const std::string& askKey) {
  const std::string service = "who may type";
  const auto tablets = TrustedTabletFile(TrustedTabletFile::defaultFile()).read();
  FileUserDefaults defaults(FileUserDefaults::defaultFile());
  const bool ask = defaults.storedBool(askKey).value_or(true);
  const std::string count = tablets.size() == 1
                                ? "1 trusted tablet"
                                : std::to_string(tablets.size()) + " trusted tablets";
  if (!ask) {
    return warn(service, count + "; any tablet on your network types without being asked",
                "turn on Ask Before New Tablets Type in the menu");
  }
  return ok(service, count + " (trovik-helper --tablets lists them); new tablets ask first");
}

int runCheck(const std::string& askKey) {
  const std::vector<Finding> findings = {keyboard(),      discovery(),   commandPort(),
                                         firewall(),      tray(),        applicationInFront(),
                                         notifications(), openAtLogin(), whoMayType(askKey)};
  bool blocked = false;
  for (const auto& finding : findings) {
    std::fputs(lineOf(finding).c_str(), stdout);
    blocked = blocked || finding.blocks;
  }
  std::fflush(stdout);
  return blocked ? 1 : 0;
}

}  // namespace trovik::check
