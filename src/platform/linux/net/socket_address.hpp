#pragma once

#include <asio/ip/udp.hpp>
#include <optional>
#include <system_error>

#include "platform/network.hpp"

// How the Asio network backend turns socket addresses into the core's hosts and endpoints
// and back, and its OS errors into NetworkError values.
namespace trovik::net {

using Udp = asio::ip::udp;

// Dotted quad for IPv4 and IPv4-mapped IPv6; RFC 5952 text for IPv6, with "%interface" for
// a scoped address. `address` holds the socket address (port 0) for socketEndpointOf.
Host hostOf(const asio::ip::address& address);
Endpoint endpointOf(const Udp::endpoint& peer);

// The socket address of a host-and-port endpoint: from the host's bytes when this backend
// made it, else from its text. Nothing for other endpoints or unreadable hosts.
std::optional<Udp::endpoint> socketEndpointOf(const Endpoint& endpoint);

NetworkError osError(int code);
NetworkError errorOf(const std::error_code& error);

// Sends one datagram without blocking, on a connected socket when `to` is null. A full
// send buffer is an error like any other: the datagram is lost, as the network may lose it.
std::optional<NetworkError> sendDatagram(int fd, const Bytes& payload, const Udp::endpoint* to);

// Errors that mean the far end cannot be reached (ICMP reports): they end a channel.
bool isUnreachable(int code);

// Keeps a socket out of programs this process starts.
void setCloseOnExec(int fd);

}  // namespace trovik::net
