#pragma once

#include <cstdint>

#include "platform/network.hpp"

namespace trovik::net {

// A non-blocking, close-on-exec UDP socket; fd -1, with the errno in `error`, when none
// could be had.
struct UdpSocket {
  int fd = -1;
  int family = 0;
  int error = 0;
};

// One socket for IPv4 and IPv6 peers alike: IPv6 with IPV6_V6ONLY off, IPv4 alone where
// IPv6 is absent. Not yet bound.
UdpSocket openDualStackUdp();

// A socket connected to `to`, which sends nothing: it only picks a route and a port.
// EINVAL for an endpoint with no socket address.
UdpSocket connectUdp(const Endpoint& to);

// Binds to `port` (any free one for 0) on every address of the socket's family; 0, or the
// errno. No SO_REUSEADDR or SO_REUSEPORT: whoever has the port keeps it and its datagrams.
int bindToPort(int fd, std::uint16_t port);

}  // namespace trovik::net
