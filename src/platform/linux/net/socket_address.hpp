#pragma once

#include <asio/ip/udp.hpp>
#include <optional>
#include <system_error>

#include "platform/network.hpp"

// How the Asio network backend turns the core's endpoints into socket addresses, and its OS
// errors into NetworkError values. Host texts come from host_address.hpp.
namespace trovik::net {

using Udp = asio::ip::udp;

// The socket address of a host-and-port endpoint, as socketAddressOf reads it.
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
