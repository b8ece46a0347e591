#include "platform/linux/net/udp_socket.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/linux/net/host_address.hpp"

namespace trovik::net {
namespace {

UdpSocket openUdp(int family) {
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  return {fd, family, fd < 0 ? errno : 0};
}

}  // namespace

UdpSocket openDualStackUdp() {
  UdpSocket opened = openUdp(AF_INET6);
  if (opened.fd >= 0) {
    const int off = 0;
    ::setsockopt(opened.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  } else if (opened.error == EAFNOSUPPORT) {
    opened = openUdp(AF_INET);
  }
  return opened;
}

UdpSocket connectUdp(const Endpoint& to) {
  const auto address = socketAddressOf(to);
  if (!address) return {-1, 0, EINVAL};
  UdpSocket connected = openUdp(address->family());
  if (connected.fd >= 0 && ::connect(connected.fd, address->get(), address->length) != 0) {
    connected.error = errno;
    ::close(std::exchange(connected.fd, -1));
  }
  return connected;
}

int bindToPort(int fd, std::uint16_t port) {
  // Unbound, a socket's own address is the wildcard of its family.
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return errno;
  // sin_port and sin6_port share their place.
  reinterpret_cast<sockaddr_in&>(local).sin_port = htons(port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&local), length) == 0 ? 0 : errno;
}

}  // namespace trovik::net
