#pragma once

// What discovery tests need of the throw-away namespace that scripts/with-avahi makes:
// loopback only, a private system bus, and an avahi-daemon the tests start and stop.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/test_environment.hpp"

namespace trovik::dnssd_test {

// Why these tests cannot run here, or nothing inside the namespace. Outside it they must not
// run at all: they would publish on the machine's real network.
std::optional<std::string> namespaceUnavailable();

#define TROVIK_REQUIRE_AVAHI_NAMESPACE()                                 \
  do {                                                                   \
    const auto reason = ::trovik::dnssd_test::namespaceUnavailable();    \
    TROVIK_REQUIRE_ENVIRONMENT(!reason, reason.value_or(std::string())); \
  } while (0)

// The namespace's daemon: "start", "stop", "kill" or "running"; true when it worked.
bool avahiDaemon(const std::string& command);

struct Found {
  std::string name;  // unescaped
  std::string address;
  std::uint16_t port = 0;
  std::string txt;  // as avahi-browse prints it: empty for none
};

// Every _trovik._udp service that `avahi-browse -rpt` resolves, as any client would.
std::vector<Found> browse();
std::vector<Found> named(const std::vector<Found>& services, const std::string& name);

}  // namespace trovik::dnssd_test
