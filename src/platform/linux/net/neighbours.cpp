#include "platform/linux/net/neighbours.hpp"

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <span>

namespace trovik::net {
namespace {

// The address bytes of an IPv4 or IPv6 socket address (IPv4-mapped as IPv4), as the
// neighbour table keeps them.
std::span<const std::uint8_t> addressBytes(const SocketAddress& address, int& family) {
  if (address.family() == AF_INET) {
    family = AF_INET;
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address.storage);
    return {reinterpret_cast<const std::uint8_t*>(&v4.sin_addr), 4};
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address.storage);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr);
  if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
    family = AF_INET;
    return {bytes + 12, 4};
  }
  family = AF_INET6;
  return {bytes, 16};
}

std::string hexPairs(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (i) text += ':';
    text += {kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
  }
  return text;
}

// The hardware address in one RTM_NEWNEIGH message, when it is about `wanted`.
std::optional<std::string> match(const nlmsghdr* message, std::span<const std::uint8_t> wanted) {
  const auto* entry = static_cast<const ndmsg*>(NLMSG_DATA(message));
  if (entry->ndm_state & (NUD_FAILED | NUD_INCOMPLETE | NUD_NOARP)) return std::nullopt;
  std::span<const std::uint8_t> destination, hardware;
  int length = static_cast<int>(RTM_PAYLOAD(message));
  for (auto* attribute = RTM_RTA(entry); RTA_OK(attribute, length);
       attribute = RTA_NEXT(attribute, length)) {
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(RTA_DATA(attribute)),
                                             RTA_PAYLOAD(attribute));
    if (attribute->rta_type == NDA_DST) destination = data;
    if (attribute->rta_type == NDA_LLADDR) hardware = data;
  }
  if (hardware.empty() || destination.size() != wanted.size() ||
      std::memcmp(destination.data(), wanted.data(), wanted.size()) != 0) {
    return std::nullopt;
  }
  return hexPairs(hardware.data(), hardware.size());
}

}  // namespace

std::optional<std::string> neighbourHardwareAddress(const SocketAddress& address) {
  int family = AF_UNSPEC;
  const auto wanted = addressBytes(address, family);
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return std::nullopt;
  const timeval patience{0, 200'000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  struct {
    nlmsghdr header;
    ndmsg body;
  } request{};
  request.header = {NLMSG_LENGTH(sizeof(ndmsg)), RTM_GETNEIGH, NLM_F_REQUEST | NLM_F_DUMP, 1, 0};
  request.body.ndm_family = static_cast<std::uint8_t>(family);
  std::optional<std::string> found;
  if (::send(fd, &request, request.header.nlmsg_len, 0) >= 0) {
    alignas(nlmsghdr) std::array<char, 16384> buffer;
    for (bool done = false; !done;) {
      const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (size <= 0) break;
      auto length = static_cast<unsigned>(size);
      for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data());
           NLMSG_OK(message, length); message = NLMSG_NEXT(message, length)) {
        if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) done = true;
        if (message->nlmsg_type == RTM_NEWNEIGH && !found) found = match(message, wanted);
      }
    }
  }
  ::close(fd);
  return found;
}

}  // namespace trovik::net
