#include "platform/linux/net/socket_address.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace trovik::net {

std::optional<NetworkError> adopt(Udp::socket& socket, const UdpSocket& opened) {
  if (opened.fd < 0) return osError(opened.error);
  std::error_code error;
  socket.assign(opened.family == AF_INET6 ? Udp::v6() : Udp::v4(), opened.fd, error);
  if (!error) return std::nullopt;
  ::close(opened.fd);
  return errorOf(error);
}

NetworkError osError(int code) {
  return NetworkError{code, std::system_category().message(code)};
}

NetworkError errorOf(const std::error_code& error) {
  return NetworkError{error.value(), error.message()};
}

std::optional<NetworkError> sendDatagram(int fd, const Bytes& payload, const Udp::endpoint* to) {
  for (;;) {
    const ssize_t sent =
        to ? ::sendto(fd, payload.data(), payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL, to->data(),
                      static_cast<socklen_t>(to->size()))
           : ::send(fd, payload.data(), payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) return std::nullopt;
    if (errno != EINTR) return osError(errno);
  }
}

bool isUnreachable(int code) {
  return code == ECONNREFUSED || code == EHOSTUNREACH || code == ENETUNREACH || code == EHOSTDOWN;
}

}  // namespace trovik::net
