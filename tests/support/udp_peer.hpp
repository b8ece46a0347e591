#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace trovik::test {

// One end of a UDP conversation for tests: a socket bound to a loopback (or wildcard)
// address and a chosen or ephemeral port. It refuses to send anywhere but loopback, or to the
// one address on a link between the test's own namespaces that allowSendingTo() names. The
// socket is a dual-stack IPv6 one: IPv4 addresses are used as IPv4-mapped ones ("::ffff:").
class UdpPeer {
 public:
  struct Datagram {
    std::string payload;
    std::string address;  // as inet_ntop writes it
    std::uint16_t port = 0;
  };

  // Port 0 picks an ephemeral port.
  explicit UdpPeer(const std::string& address = "127.0.0.1", std::uint16_t port = 0) {
    const sockaddr_in6 local = at(address, port);
    fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
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
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin6_port);
  }

  // Only for an address that the test's own namespaces hold.
  void allowSendingTo(const std::string& address) { allowed_ = at(address, 0).sin6_addr; }

  void sendTo(std::string_view payload, std::uint16_t port,
              const std::string& address = "127.0.0.1") {
    const sockaddr_in6 to = at(address, port);
    const in6_addr& a = to.sin6_addr;
    if (!IN6_IS_ADDR_LOOPBACK(&a) && !(IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127) &&
        !IN6_ARE_ADDR_EQUAL(&a, &allowed_)) {
      throw std::invalid_argument("tests send to loopback only, not " + address);
    }
    if (::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
      throw std::runtime_error("sendto " + address + ": " + std::strerror(errno));
    }
  }

  // The next datagram, or nothing when none comes within `timeout`.
  std::optional<Datagram> receiveFrom(std::chrono::milliseconds timeout) {
    pollfd entry{fd_, POLLIN, 0};
    char buffer[65536];
    sockaddr_in6 from{};
    socklen_t length = sizeof from;
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    const ssize_t size = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &length);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &from.sin6_addr, text, sizeof text);
    if (size < 0) return std::nullopt;
    return Datagram{std::string(buffer, std::size_t(size)), text, ntohs(from.sin6_port)};
  }
  std::optional<std::string> receive(std::chrono::milliseconds timeout) {
    auto datagram = receiveFrom(timeout);
    return datagram ? std::optional(std::move(datagram->payload)) : std::nullopt;
  }

 private:
  static sockaddr_in6 at(const std::string& address, std::uint16_t port) {
    sockaddr_in6 socket{};
    socket.sin6_family = AF_INET6;
    socket.sin6_port = htons(port);
    // A link-local address names its link: "fe80::2%tablet0", by name or number.
    const auto percent = address.find('%');
    const std::string bare = address.substr(0, percent);
    const std::string text = bare.find(':') == std::string::npos ? "::ffff:" + bare : bare;
    if (::inet_pton(AF_INET6, text.c_str(), &socket.sin6_addr) != 1) {
      throw std::invalid_argument("not an IP address: " + address);
    }
    if (percent != std::string::npos) {
      const std::string link = address.substr(percent + 1);
      socket.sin6_scope_id = std::isdigit(static_cast<unsigned char>(link[0]))
                                 ? std::stoul(link)
                                 : ::if_nametoindex(link.c_str());
    }
    return socket;
  }

  int fd_ = -1;
  in6_addr allowed_ = IN6ADDR_LOOPBACK_INIT;
};

}  // namespace trovik::test
