#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/network.hpp"

// Hosts and endpoints as the agent shows them, made from socket addresses and back: plain
// POSIX, so that trovik-remote reads and writes them as the agent does.
namespace trovik::net {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// IPv4-mapped IPv6 counts as the IPv4 address it carries. The text is a dotted quad for
// IPv4; RFC 5952 text for IPv6, with "%interface" for a scoped address (its number where
// the interface has no name or the address is not link-local). The bytes are the socket
// address with port 0, which socketAddressOf reads back.
Host hostOf(const in_addr& address);
Host hostOf(const in6_addr& address, std::uint32_t scope);
// Of an IPv4 or IPv6 socket address; any other is an Endpoint::other.
Endpoint endpointOf(const sockaddr* address, socklen_t length);

// An IPv4 or IPv6 literal, the latter with an optional "%interface" (name or number), as
// hostOf shows it; nothing for any other text.
std::optional<Host> parseHost(std::string_view text);

// The socket address of a host-and-port endpoint: from the host's bytes when hostOf made
// them, else from its text. Nothing for other endpoints or unreadable hosts.
std::optional<SocketAddress> socketAddressOf(const Endpoint& endpoint);

}  // namespace trovik::net
