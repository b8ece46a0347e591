#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace trovik::test {

// One end of a UDP conversation for tests: a socket bound to a loopback (or wildcard)
// address and a chosen or ephemeral port. It refuses to send anywhere but loopback.
class UdpPeer {
 public:
  struct Datagram {
    std::string payload;
    std::string address;  // as inet_ntop writes it
    std::uint16_t port = 0;
  };

  // An IPv6 address gives a dual-stack IPv6 socket; port 0 picks an ephemeral port.
  explicit UdpPeer(const std::string& address = "127.0.0.1", std::uint16_t port = 0) {
    sockaddr_storage local = socketAddress(address, port);
    fd_ = ::socket(local.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail("socket");
    if (local.ss_family == AF_INET6) {
      int off = 0;
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), lengthOf(local)) != 0) {
      const int error = errno;
      ::close(fd_);
      errno = error;
      fail("bind " + address + " port " + std::to_string(port));
    }
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t port() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(local).sin_port
                                            : reinterpret_cast<sockaddr_in6&>(local).sin6_port);
  }

  void sendTo(std::string_view payload, std::uint16_t port,
              const std::string& address = "127.0.0.1") {
    sockaddr_storage to = socketAddress(address, port);
    if (!isLoopback(to)) throw std::invalid_argument("tests send to loopback only, not " + address);
    if (::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 lengthOf(to)) < 0) {
      fail("sendto " + address);
    }
  }

  // The next datagram, or nothing when none comes within `timeout`.
  std::optional<Datagram> receiveFrom(std::chrono::milliseconds timeout) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char buffer[65536];
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const ssize_t size = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &length);
    if (size < 0) return std::nullopt;
    Datagram datagram{std::string(buffer, static_cast<std::size_t>(size)), {}, 0};
    char text[INET6_ADDRSTRLEN] = {};
    if (from.ss_family == AF_INET) {
      const auto& v4 = reinterpret_cast<sockaddr_in&>(from);
      ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
      datagram.port = ntohs(v4.sin_port);
    } else {
      const auto& v6 = reinterpret_cast<sockaddr_in6&>(from);
      ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
      datagram.port = ntohs(v6.sin6_port);
    }
    datagram.address = text;
    return datagram;
  }
  std::optional<std::string> receive(std::chrono::milliseconds timeout) {
    auto datagram = receiveFrom(timeout);
    return datagram ? std::optional<std::string>(std::move(datagram->payload)) : std::nullopt;
  }

  int fd() const { return fd_; }

 private:
  static sockaddr_storage socketAddress(const std::string& address, std::uint16_t port) {
    sockaddr_storage storage{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
      v4.sin_family = AF_INET;
      v4.sin_port = htons(port);
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(port);
    } else {
      throw std::invalid_argument("not an IP address: " + address);
    }
    return storage;
  }
  static socklen_t lengthOf(const sockaddr_storage& s) {
    return s.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  }
  static bool isLoopback(const sockaddr_storage& s) {
    if (s.ss_family == AF_INET) {
      return (ntohl(reinterpret_cast<const sockaddr_in&>(s).sin_addr.s_addr) >> 24) == 127;
    }
    const auto& address = reinterpret_cast<const sockaddr_in6&>(s).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&address);
  }
  [[noreturn]] static void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }

  int fd_ = -1;
};

}  // namespace trovik::test
