#pragma once

#include <asio/ip/address.hpp>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace trovik::net {

// An address with its prefix length: an interface's address, or a network the user allowed.
struct Prefix {
  asio::ip::address address;  // bits past `length` do not count
  unsigned short length = 0;

  // Of the same family, and equal in the first `length` bits; scopes do not count.
  bool contains(const asio::ip::address& other) const;
  bool operator==(const Prefix&) const = default;
};

// One of this computer's interfaces, as rtnetlink describes it.
struct Interface {
  int index = 0;
  bool loopback = false;      // IFF_LOOPBACK
  bool pointToPoint = false;  // IFF_POINTOPOINT: a tunnel, WireGuard, PPP
  std::vector<Prefix> prefixes;
};
using InterfaceTable = std::vector<Interface>;  // by index, ascending

// The prefixes of a comma-separated list of CIDR texts ("10.8.0.0/16,fd00:1::/64"). Each entry
// that is not one is left out, with a line on standard error that names it.
std::vector<Prefix> parseAllowedNetworks(std::string_view list);

// Whether a datagram from `source` that arrived on interface `arrival` (0 when unknown) comes
// from this computer's own networks: from loopback, or through a loopback interface; from
// within a prefix of `allowed`, through any interface; else through an interface that is not
// point-to-point, from within one of its prefixes or from an IPv6 link-local address.
// IPv4-mapped sources count as IPv4.
bool isSameNetwork(const InterfaceTable& interfaces, const std::vector<Prefix>& allowed,
                   const asio::ip::address& source, int arrival);

// Who may reach the listeners: the allowed prefixes, and the interface table as last
// published. Thread-safe; a table is never changed once published.
class LocalNetworks {
 public:
  explicit LocalNetworks(std::vector<Prefix> allowed) : allowed_(std::move(allowed)) {}

  // Null when the interfaces are not known: then every source is admitted.
  void publish(std::shared_ptr<const InterfaceTable> table);
  std::shared_ptr<const InterfaceTable> table() const;

  // With a table taken once per batch of datagrams, so that a batch costs one lock.
  bool admits(const InterfaceTable* table, const asio::ip::address& source, int arrival) const {
    return !table || isSameNetwork(*table, allowed_, source, arrival);
  }

 private:
  const std::vector<Prefix> allowed_;
  mutable std::mutex mutex_;
  std::shared_ptr<const InterfaceTable> table_;
};

}  // namespace trovik::net
