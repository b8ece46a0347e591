#include "platform/linux/desktop/tablet_commands.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/linux/desktop/trusted_tablets.hpp"
#include "platform/linux/net/host_address.hpp"
#include "platform/linux/net/neighbours.hpp"

namespace trovik {
namespace {

void say(std::FILE* to, const std::string& line) {
  std::fputs((line + "\n").c_str(), to);
}

}  // namespace

int runTabletCommand(std::string_view option, std::optional<std::string_view> argument) {
  const TrustedTabletFile file(TrustedTabletFile::defaultFile());
  auto tablets = file.read();
  if (option == "--tablets") {
    if (tablets.empty()) say(stdout, "No tablet is trusted; tablets on this computer always are.");
    for (const auto& t : tablets)
      say(stdout, t.hardware.empty() ? t.address : t.address + " " + t.hardware);
    return 0;
  }
  const std::string text(argument.value_or(""));
  const bool all = option == "--forget" && text == "all";
  const auto host = net::parseHost(text);
  if (!all && !host) {
    say(stderr, "trovik-helper: " + std::string(option) + " needs a tablet's IP address" +
                    (option == "--forget" ? " or all" : "") + ", not \"" + text + "\"");
    return 2;
  }
  const auto before = tablets.size();
  if (option == "--allow") {
    std::string hardware;
    if (const auto address = net::socketAddressOf(Endpoint::hostPort(*host, 0))) {
      hardware = net::neighbourHardwareAddress(*address).value_or("");
    }
    std::erase_if(tablets, [&](const auto& t) { return t.address == host->description; });
    tablets.push_back({host->description, hardware});
  } else {
    std::erase_if(tablets, [&](const auto& t) { return all || t.address == host->description; });
    if (tablets.size() == before) {
      say(stdout, all ? "No tablet was trusted." : host->description + " was not trusted.");
      return 1;
    }
  }
  if (const auto error = file.write(tablets)) {
    say(stderr, "trovik-helper: could not save " + file.path().string() + ": " + *error);
    return 1;
  }
  say(stdout, option == "--allow" ? "Allowed " + host->description
              : all               ? "Forgot every trusted tablet"
                                  : "Forgot " + host->description);
  return 0;
}

}  // namespace trovik
