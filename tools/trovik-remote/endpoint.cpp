#include "endpoint.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <charconv>
#include <cstring>

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

// An IPv4 or IPv6 literal, the latter with an optional "%interface".
std::optional<Endpoint> parseLiteral(const std::string& text, std::uint16_t port) {
  Endpoint endpoint;
  auto& v4 = reinterpret_cast<sockaddr_in&>(endpoint.address);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(endpoint.address);
  if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    endpoint.length = sizeof v4;
  } else {
    const auto percent = text.find('%');
    if (inet_pton(AF_INET6, text.substr(0, percent).c_str(), &v6.sin6_addr) != 1) {
      return std::nullopt;
    }
    if (percent != std::string::npos) {
      v6.sin6_scope_id = if_nametoindex(text.substr(percent + 1).c_str());
      if (v6.sin6_scope_id == 0) return std::nullopt;
    }
    v6.sin6_family = AF_INET6;
    endpoint.length = sizeof v6;
  }
  endpoint.setPort(port);
  return endpoint;
}

const sockaddr_in6& asV6(const sockaddr_storage& address) {
  return reinterpret_cast<const sockaddr_in6&>(address);
}

const sockaddr_in& asV4(const sockaddr_storage& address) {
  return reinterpret_cast<const sockaddr_in&>(address);
}

}  // namespace

std::uint16_t Endpoint::port() const {
  return portOf(address);
}

void Endpoint::setPort(std::uint16_t port) {
  if (family() == AF_INET) {
    reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
  }
}

std::string Endpoint::hostText() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family() == AF_INET) {
    inet_ntop(AF_INET, &asV4(address).sin_addr, text, sizeof text);
    return text;
  }
  inet_ntop(AF_INET6, &asV6(address).sin6_addr, text, sizeof text);
  std::string host = text;
  char name[IF_NAMESIZE] = {};
  if (asV6(address).sin6_scope_id != 0 && if_indextoname(asV6(address).sin6_scope_id, name)) {
    host += std::string("%") + name;
  }
  return host;
}

std::string Endpoint::text() const {
  const std::string host = hostText();
  const std::string port = std::to_string(this->port());
  return family() == AF_INET ? host + ":" + port : "[" + host + "]:" + port;
}

std::optional<Endpoint> parseAddress(std::string_view text, std::uint16_t defaultPort) {
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::uint16_t port = defaultPort;
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      const auto parsed = rest.starts_with(':') ? parsePort(rest.substr(1)) : std::nullopt;
      if (!parsed) return std::nullopt;
      port = *parsed;
    }
    auto endpoint = parseLiteral(std::string(text.substr(1, close - 1)), port);
    if (endpoint && endpoint->family() != AF_INET6) return std::nullopt;
    return endpoint;
  }
  if (auto endpoint = parseLiteral(std::string(text), defaultPort)) return endpoint;
  const auto split = splitPort(text);
  if (!split.port || split.host.find(':') != std::string::npos) return std::nullopt;
  return parseLiteral(split.host, *split.port);
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
  Endpoint endpoint;
  std::memcpy(&endpoint.address, results->ai_addr, results->ai_addrlen);
  endpoint.length = results->ai_addrlen;
  endpoint.setPort(port);
  freeaddrinfo(results);
  return endpoint;
}

bool sameHost(const sockaddr_storage& from, const Endpoint& endpoint) {
  const auto v4Of = [](const sockaddr_storage& a, in_addr& out) {
    if (a.ss_family == AF_INET) {
      out = asV4(a).sin_addr;
      return true;
    }
    if (!IN6_IS_ADDR_V4MAPPED(&asV6(a).sin6_addr)) return false;
    std::memcpy(&out, &asV6(a).sin6_addr.s6_addr[12], sizeof out);
    return true;
  };
  in_addr left{}, right{};
  const bool leftV4 = v4Of(from, left);
  if (leftV4 != v4Of(endpoint.address, right)) return false;
  if (leftV4) return left.s_addr == right.s_addr;
  return IN6_ARE_ADDR_EQUAL(&asV6(from).sin6_addr, &asV6(endpoint.address).sin6_addr);
}

std::uint16_t portOf(const sockaddr_storage& address) {
  return ntohs(address.ss_family == AF_INET ? asV4(address).sin_port : asV6(address).sin6_port);
}

}  // namespace trovik::remote
