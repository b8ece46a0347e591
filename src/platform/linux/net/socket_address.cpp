#include "platform/linux/net/socket_address.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace trovik::net {

Host hostOf(const asio::ip::address& address) {
  asio::ip::address shown = address;
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    shown = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  const Udp::endpoint socketAddress(shown, 0);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(socketAddress.data());
  return Host{shown.to_string(), Bytes(bytes, bytes + socketAddress.size())};
}

Endpoint endpointOf(const Udp::endpoint& peer) {
  return Endpoint::hostPort(hostOf(peer.address()), peer.port());
}

namespace {

std::optional<Udp::endpoint> fromBytes(const Bytes& bytes) {
  sockaddr_storage storage{};
  if (bytes.empty() || bytes.size() > sizeof storage) return std::nullopt;
  std::memcpy(&storage, bytes.data(), bytes.size());
  const bool v4 = storage.ss_family == AF_INET && bytes.size() == sizeof(sockaddr_in);
  const bool v6 = storage.ss_family == AF_INET6 && bytes.size() == sizeof(sockaddr_in6);
  if (!v4 && !v6) return std::nullopt;
  Udp::endpoint endpoint;
  std::memcpy(endpoint.data(), &storage, bytes.size());
  endpoint.resize(bytes.size());
  return endpoint;
}

}  // namespace

std::optional<Udp::endpoint> socketEndpointOf(const Endpoint& endpoint) {
  if (endpoint.kind != Endpoint::Kind::hostPort) return std::nullopt;
  std::optional<Udp::endpoint> result = fromBytes(endpoint.host.address);
  if (!result) {
    std::error_code error;
    const auto address = asio::ip::make_address(endpoint.host.description, error);
    if (error) return std::nullopt;
    result.emplace(address, 0);
  }
  result->port(endpoint.port);
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
