#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trovik::remote {

// A UDP address and port, IPv4 or IPv6 (with its scope for link-local addresses).
struct Endpoint {
  sockaddr_storage address{};
  socklen_t length = 0;

  int family() const { return address.ss_family; }
  std::uint16_t port() const;
  void setPort(std::uint16_t port);
  // "192.0.2.7:9876" or "[fe80::1%eth0]:9876".
  std::string text() const;
  // The address alone, in the same form as in text().
  std::string hostText() const;
};

// "ADDRESS", "ADDRESS:PORT" or "[IPV6]:PORT"; nothing when the text is no address literal.
std::optional<Endpoint> parseAddress(std::string_view text, std::uint16_t defaultPort);

// "NAME" or "NAME:PORT": the port, when the text ends in a colon and digits.
struct HostAndPort {
  std::string host;
  std::optional<std::uint16_t> port;
};
HostAndPort splitPort(std::string_view text);

// The first address the resolver gives for a host name; nothing, with `error` set, when none.
std::optional<Endpoint> lookUpHost(const std::string& host, std::uint16_t port, std::string& error);

// Whether `from` is the host of `endpoint`; IPv4-mapped IPv6 counts as IPv4.
bool sameHost(const sockaddr_storage& from, const Endpoint& endpoint);
std::uint16_t portOf(const sockaddr_storage& address);

}  // namespace trovik::remote
