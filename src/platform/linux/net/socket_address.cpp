#include "platform/linux/net/socket_address.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/net/host_address.hpp"

namespace trovik::net {

std::optional<Udp::endpoint> socketEndpointOf(const Endpoint& endpoint) {
  const auto address = socketAddressOf(endpoint);
  if (!address) return std::nullopt;
  Udp::endpoint result;
  std::memcpy(result.data(), &address->storage, address->length);
  result.resize(address->length);
  return result;
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

void setCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace trovik::net
