#pragma once

#include <cstdint>

namespace trovik::net {

struct UdpSocket {
  int fd = -1;
  int family = 0;  // AF_INET6, or AF_INET where the host has no IPv6
};

// One socket for IPv4 and IPv6 peers alike: IPv6 with IPV6_V6ONLY off, IPv4 alone where
// IPv6 is absent. Non-blocking and close-on-exec, not yet bound; fd -1, with errno set,
// when none could be opened.
UdpSocket openDualStackUdp();

// Binds to `port` (any free one for 0) on every address of the socket's family; 0, or the
// errno. No SO_REUSEADDR or SO_REUSEPORT: whoever has the port keeps it and its datagrams.
int bindToPort(int fd, std::uint16_t port);

}  // namespace trovik::net
