#pragma once

#include <asio/ip/udp.hpp>
#include <optional>
#include <system_error>

#include "platform/linux/net/udp_socket.hpp"
#include "platform/network.hpp"

// How the Asio network backend takes its sockets from udp_socket.hpp, and its OS errors as
// NetworkError values. Host texts come from host_address.hpp.
namespace trovik::net {

using Udp = asio::ip::udp;

// Hands `opened` to `socket`; the error when there is no socket or Asio cannot take it.
std::optional<NetworkError> adopt(Udp::socket& socket, const UdpSocket& opened);

NetworkError osError(int code);
NetworkError errorOf(const std::error_code& error);

// Sends one datagram without blocking, on a connected socket when `to` is null. A full
// send buffer is an error like any other: the datagram is lost, as the network may lose it.
std::optional<NetworkError> sendDatagram(int fd, const Bytes& payload, const Udp::endpoint* to);

// Errors that mean the far end cannot be reached (ICMP reports): they end a channel.
bool isUnreachable(int code);

}  // namespace trovik::net
