#pragma once

#include <optional>
#include <string>

#include "platform/linux/net/host_address.hpp"

namespace trovik::net {

// The hardware address the kernel's neighbour table holds for `address` ("3a:1f:0c:..."),
// asked of rtnetlink; nothing when it knows none (loopback, a routed host, an entry gone
// stale and failed). Takes at most a fraction of a second.
std::optional<std::string> neighbourHardwareAddress(const SocketAddress& address);

}  // namespace trovik::net
