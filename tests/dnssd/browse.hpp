#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trovik::dnssd_test {

// One service as avahi-browse resolved it.
struct ResolvedService {
  std::string interface;
  std::string protocol;
  std::string name;  // unescaped
  std::string type;
  std::string domain;
  std::string host;
  std::string address;
  std::uint16_t port = 0;
  std::string txt;  // as avahi-browse prints it: quoted strings, empty for none
};

// `avahi-browse -rpt TYPE`: a full browse and resolve through the daemon, as any client would.
std::vector<ResolvedService> browse(const std::string& type = "_trovik._udp");

// Resolved services of that name (a service shows once per interface and protocol).
std::vector<ResolvedService> named(const std::vector<ResolvedService>& services,
                                   std::string_view name);

// The names seen, for failure messages.
std::string describe(const std::vector<ResolvedService>& services);

// Undoes avahi-browse's label escaping: "\." "\\" and "\DDD" (a decimal byte).
std::string unescapeLabel(std::string_view label);

}  // namespace trovik::dnssd_test
