#include "platform/linux/net/local_networks.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>

#include "platform/linux/diagnostics.hpp"

namespace trovik::net {
namespace {

asio::ip::address unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<Prefix> parsePrefix(std::string_view text) {
  const auto slash = text.find('/');
  // A scope would tie a prefix to one link, which a prefix of this list never is.
  if (slash == std::string_view::npos || text.find('%') != std::string_view::npos) return {};
  std::error_code error;
  const auto address = asio::ip::make_address(std::string(text.substr(0, slash)), error);
  unsigned short length = 0;
  const char* end = text.data() + text.size();
  const auto [stop, failed] = std::from_chars(text.data() + slash + 1, end, length);
  if (error || failed != std::errc() || stop != end || length > (address.is_v4() ? 32 : 128))
    return {};
  return Prefix{address, length};
}

}  // namespace

bool Prefix::contains(const asio::ip::address& other) const {
  if (other.is_v4() != address.is_v4()) return false;
  if (other.is_v4()) {
    const std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    return ((other.to_v4().to_uint() ^ address.to_v4().to_uint()) & mask) == 0;
  }
  const auto a = other.to_v6().to_bytes(), b = address.to_v6().to_bytes();
  for (unsigned bit = 0; bit < length; bit += 8) {
    const unsigned left = length - bit;
    const auto mask = static_cast<std::uint8_t>(left >= 8 ? 0xff : 0xff << (8 - left));
    if ((a[bit / 8] ^ b[bit / 8]) & mask) return false;
  }
  return true;
}

std::vector<Prefix> parseAllowedNetworks(std::string_view list) {
  std::vector<Prefix> prefixes;
  while (!list.empty()) {
    const auto comma = std::min(list.find(','), list.size());
    const auto entry = trimmed(list.substr(0, comma));
    list.remove_prefix(std::min(comma + 1, list.size()));
    if (entry.empty()) continue;
    if (const auto prefix = parsePrefix(entry)) {
      prefixes.push_back(*prefix);
    } else {
      diagnose("network", "allowedNetworks: ignoring \"" + std::string(entry) +
                              "\": not an address prefix such as 10.8.0.0/16 or fd00:1::/64");
    }
  }
  return prefixes;
}

bool isSameNetwork(const InterfaceTable& interfaces, const std::vector<Prefix>& allowed,
                   const asio::ip::address& source, int arrival) {
  const auto from = unmapped(source);
  const auto within = [&](const Prefix& prefix) { return prefix.contains(from); };
  if (from.is_loopback() || std::ranges::any_of(allowed, within)) return true;
  const auto found = std::ranges::lower_bound(interfaces, arrival, {}, &Interface::index);
  if (found == interfaces.end() || found->index != arrival || found->pointToPoint) return false;
  // Only this computer sends through a loopback interface, from any of its addresses.
  return found->loopback || (from.is_v6() && from.to_v6().is_link_local()) ||
         std::ranges::any_of(found->prefixes, within);
}

void LocalNetworks::publish(std::shared_ptr<const InterfaceTable> table) {
  std::lock_guard lock(mutex_);
  table_.swap(table);
}

std::shared_ptr<const InterfaceTable> LocalNetworks::table() const {
  std::lock_guard lock(mutex_);
  return table_;
}

}  // namespace trovik::net
