#include "platform/linux/net/host_address.hpp"

#include <arpa/inet.h>
#include <net/if.h>

#include <charconv>
#include <cstring>

namespace trovik::net {
namespace {

template <typename Address>
Bytes bytesOf(const Address& address) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  return Bytes(bytes, bytes + sizeof address);
}

// As Asio writes a scope, which the agent's texts have always followed.
std::string scopeText(const sockaddr_in6& v6) {
  if (v6.sin6_scope_id == 0) return "";
  const bool linkLocal =
      IN6_IS_ADDR_LINKLOCAL(&v6.sin6_addr) || IN6_IS_ADDR_MC_LINKLOCAL(&v6.sin6_addr);
  char name[IF_NAMESIZE] = {};
  if (linkLocal && if_indextoname(v6.sin6_scope_id, name)) return std::string("%") + name;
  return "%" + std::to_string(v6.sin6_scope_id);
}

std::optional<std::uint32_t> scopeOf(const std::string& name) {
  if (const unsigned index = if_nametoindex(name.c_str())) return index;
  std::uint32_t number = 0;
  const char* end = name.data() + name.size();
  const auto [stop, error] = std::from_chars(name.data(), end, number);
  if (error != std::errc() || stop != end || number == 0) return std::nullopt;
  return number;
}

bool holdsSocketAddress(const Bytes& bytes) {
  sa_family_t family = AF_UNSPEC;
  if (bytes.size() >= sizeof family) std::memcpy(&family, bytes.data(), sizeof family);
  return (family == AF_INET && bytes.size() == sizeof(sockaddr_in)) ||
         (family == AF_INET6 && bytes.size() == sizeof(sockaddr_in6));
}

}  // namespace

Host hostOf(const in_addr& address) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  return Host{text, bytesOf(v4)};
}

Host hostOf(const in6_addr& address, std::uint32_t scope) {
  if (IN6_IS_ADDR_V4MAPPED(&address)) {
    in_addr v4;
    std::memcpy(&v4, &address.s6_addr[12], sizeof v4);
    return hostOf(v4);
  }
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = address;
  v6.sin6_scope_id = scope;
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  return Host{text + scopeText(v6), bytesOf(v6)};
}

Host hostOf(const sockaddr* address, socklen_t length) {
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    return hostOf(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    return hostOf(v6->sin6_addr, v6->sin6_scope_id);
  }
  return Host{};
}

Endpoint endpointOf(const sockaddr* address, socklen_t length) {
  Host host = hostOf(address, length);
  if (host.address.empty()) {
    return Endpoint::other("an address of family " + std::to_string(address->sa_family));
  }
  // sin_port and sin6_port share their place, here and in socketAddressOf.
  const auto port = ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  return Endpoint::hostPort(std::move(host), port);
}

std::optional<Host> parseHost(std::string_view text) {
  const std::string whole(text);
  in_addr v4{};
  if (inet_pton(AF_INET, whole.c_str(), &v4) == 1) return hostOf(v4);
  const auto percent = whole.find('%');
  in6_addr v6{};
  if (inet_pton(AF_INET6, whole.substr(0, percent).c_str(), &v6) != 1) return std::nullopt;
  if (percent == std::string::npos) return hostOf(v6, 0);
  const auto scope = scopeOf(whole.substr(percent + 1));
  if (!scope) return std::nullopt;
  return hostOf(v6, *scope);
}

std::optional<SocketAddress> socketAddressOf(const Endpoint& endpoint) {
  if (endpoint.kind != Endpoint::Kind::hostPort) return std::nullopt;
  std::optional<Host> parsed;
  if (!holdsSocketAddress(endpoint.host.address)) {
    parsed = parseHost(endpoint.host.description);
    if (!parsed) return std::nullopt;
  }
  const Bytes& bytes = (parsed ? *parsed : endpoint.host).address;
  SocketAddress result;
  std::memcpy(&result.storage, bytes.data(), bytes.size());
  result.length = static_cast<socklen_t>(bytes.size());
  reinterpret_cast<sockaddr_in&>(result.storage).sin_port = htons(endpoint.port);
  return result;
}

}  // namespace trovik::net
