#include "platform/linux/net/host_address.hpp"

#include <arpa/inet.h>
#include <net/if.h>

#include <charconv>
#include <cstring>

namespace trovik::net {
namespace {

template <typename Address>
Host withBytes(std::string text, const Address& address) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  return Host{std::move(text), Bytes(bytes, bytes + sizeof address)};
}

// As Asio writes a scope, which the agent's texts have always followed.
std::string scopeText(const in6_addr& address, std::uint32_t scope) {
  if (scope == 0) return "";
  const bool linkLocal = IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_MC_LINKLOCAL(&address);
  char name[IF_NAMESIZE] = {};
  if (linkLocal && if_indextoname(scope, name)) return std::string("%") + name;
  return "%" + std::to_string(scope);
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
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return withBytes(text, sockaddr_in{AF_INET, 0, address, {}});
}

Host hostOf(const in6_addr& address, std::uint32_t scope) {
  if (IN6_IS_ADDR_V4MAPPED(&address)) {
    in_addr v4;
    std::memcpy(&v4, &address.s6_addr[12], sizeof v4);
    return hostOf(v4);
  }
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &address, text, sizeof text);
  return withBytes(text + scopeText(address, scope), sockaddr_in6{AF_INET6, 0, 0, address, scope});
}

Endpoint endpointOf(const sockaddr* address, socklen_t length) {
  // sin_port and sin6_port share their place, here and in socketAddressOf.
  const auto port = ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    return Endpoint::hostPort(hostOf(reinterpret_cast<const sockaddr_in*>(address)->sin_addr),
                              port);
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    return Endpoint::hostPort(hostOf(v6->sin6_addr, v6->sin6_scope_id), port);
  }
  return Endpoint::other("an address of family " + std::to_string(address->sa_family));
}

std::optional<Host> parseHost(std::string_view text) {
  const std::string whole(text);
  in_addr v4{};
  if (inet_pton(AF_INET, whole.c_str(), &v4) == 1) return hostOf(v4);
  const auto percent = whole.find('%');
  in6_addr v6{};
  if (inet_pton(AF_INET6, whole.substr(0, percent).c_str(), &v6) != 1) return std::nullopt;
  const auto scope = percent == std::string::npos ? std::optional<std::uint32_t>(0)
                                                  : scopeOf(whole.substr(percent + 1));
  if (!scope) return std::nullopt;
  return hostOf(v6, *scope);
}

std::optional<SocketAddress> socketAddressOf(const Endpoint& endpoint) {
  if (endpoint.kind != Endpoint::Kind::hostPort) return std::nullopt;
  const auto host = holdsSocketAddress(endpoint.host.address)
                        ? endpoint.host
                        : parseHost(endpoint.host.description);
  if (!host) return std::nullopt;
  SocketAddress result;
  std::memcpy(&result.storage, host->address.data(), host->address.size());
  result.length = static_cast<socklen_t>(host->address.size());
  reinterpret_cast<sockaddr_in&>(result.storage).sin_port = htons(endpoint.port);
  return result;
}

}  // namespace trovik::net
