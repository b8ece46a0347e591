#include "endpoint.hpp"

#include <netdb.h>

#include <charconv>

#include "platform/linux/net/host_address.hpp"

namespace trovik::remote {
namespace {

std::optional<std::uint16_t> parsePort(std::string_view digits) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      value == 0 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<Endpoint> literal(std::string_view host, std::optional<std::uint16_t> port) {
  auto parsed = port ? net::parseHost(host) : std::nullopt;
  if (!parsed) return std::nullopt;
  return Endpoint::hostPort(std::move(*parsed), *port);
}

}  // namespace

std::optional<Endpoint> parseAddress(std::string_view text, std::uint16_t defaultPort) {
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    const std::string_view host = text.substr(1, close - 1);
    if (close == std::string_view::npos || host.find(':') == std::string_view::npos) {
      return std::nullopt;  // brackets hold an IPv6 address
    }
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return literal(host, defaultPort);
    return literal(host, rest.starts_with(':') ? parsePort(rest.substr(1)) : std::nullopt);
  }
  if (auto endpoint = literal(text, defaultPort)) return endpoint;
  const auto split = splitPort(text);
  if (split.host.find(':') != std::string::npos) return std::nullopt;
  return literal(split.host, split.port);
}

HostAndPort splitPort(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return {std::string(text), std::nullopt};
  const auto port = parsePort(text.substr(colon + 1));
  if (!port) return {std::string(text), std::nullopt};
  return {std::string(text.substr(0, colon)), port};
}

std::optional<Endpoint> lookUpHost(const std::string& host, std::uint16_t port,
                                   std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* results = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &results);
  if (rc != 0) {
    error = gai_strerror(rc);
    return std::nullopt;
  }
  Endpoint endpoint = net::endpointOf(results->ai_addr, results->ai_addrlen);
  freeaddrinfo(results);
  endpoint.port = port;
  return endpoint;
}

}  // namespace trovik::remote
