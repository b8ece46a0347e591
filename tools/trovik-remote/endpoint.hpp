#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/network.hpp"

// Agents' endpoints as the command line names them. Their texts are the agent's own:
// description() is "192.0.2.7:9876" or "[fe80::1%eth0]:9876", host.description the address.
namespace trovik::remote {

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

}  // namespace trovik::remote
