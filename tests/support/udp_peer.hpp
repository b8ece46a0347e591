#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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
    Address local(address, port);
    fd_ = ::socket(local.v4.sin_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);  // dual-stack; IPv4: no-op
    if (fd_ < 0 || ::bind(fd_, &local.any, local.length()) != 0) {
      const std::string why = std::strerror(errno);
      if (fd_ >= 0) ::close(fd_);
      throw std::runtime_error("bind " + address + " port " + std::to_string(port) + ": " + why);
    }
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  int fd() const { return fd_; }
  std::uint16_t port() const {
    Address local;
    socklen_t length = sizeof local;
    ::getsockname(fd_, &local.any, &length);
    return local.port();
  }

  void sendTo(std::string_view payload, std::uint16_t port,
              const std::string& address = "127.0.0.1") {
    Address to(address, port);
    const bool loopback = to.v4.sin_family == AF_INET ? (ntohl(to.v4.sin_addr.s_addr) >> 24) == 127
                                                      : IN6_IS_ADDR_LOOPBACK(&to.v6.sin6_addr);
    if (!loopback) throw std::invalid_argument("tests send to loopback only, not " + address);
    if (::sendto(fd_, payload.data(), payload.size(), 0, &to.any, to.length()) < 0) {
      throw std::runtime_error("sendto " + address + ": " + std::strerror(errno));
    }
  }

  // The next datagram, or nothing when none comes within `timeout`.
  std::optional<Datagram> receiveFrom(std::chrono::milliseconds timeout) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char buffer[65536];
    Address from;
    socklen_t length = sizeof from;
    const ssize_t size = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT, &from.any, &length);
    if (size < 0) return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    const bool v4 = from.v4.sin_family == AF_INET;
    ::inet_ntop(from.v4.sin_family,
                v4 ? static_cast<const void*>(&from.v4.sin_addr) : &from.v6.sin6_addr, text,
                sizeof text);
    return Datagram{std::string(buffer, static_cast<std::size_t>(size)), text, from.port()};
  }
  std::optional<std::string> receive(std::chrono::milliseconds timeout) {
    auto datagram = receiveFrom(timeout);
    return datagram ? std::optional(std::move(datagram->payload)) : std::nullopt;
  }

 private:
  union Address {
    Address() : v6{} {}
    Address(const std::string& text, std::uint16_t port) : v6{} {
      if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
      } else if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
      } else {
        throw std::invalid_argument("not an IP address: " + text);
      }
    }
    socklen_t length() const { return v4.sin_family == AF_INET ? sizeof v4 : sizeof v6; }
    std::uint16_t port() const {
      return ntohs(v4.sin_family == AF_INET ? v4.sin_port : v6.sin6_port);
    }
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
  };

  int fd_ = -1;
};

}  // namespace trovik::test
