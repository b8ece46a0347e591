#include "platform/linux/net/udp_socket.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace trovik::net {

UdpSocket openDualStackUdp() {
  constexpr int kType = SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC;
  UdpSocket opened{::socket(AF_INET6, kType, 0), AF_INET6};
  if (opened.fd >= 0) {
    const int off = 0;
    ::setsockopt(opened.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  } else if (errno == EAFNOSUPPORT) {
    opened = {::socket(AF_INET, kType, 0), AF_INET};
  }
  return opened;
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
