#include "platform/linux/net/netlink_interfaces.hpp"

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "platform/linux/diagnostics.hpp"

namespace trovik::net {
namespace {

// Larger than any one datagram rtnetlink sends, dumps included.
constexpr std::size_t kBufferSize = 64 * 1024;
// Room for a burst of changes (a VPN coming up, a dock plugged in) before any is dropped.
constexpr int kNotificationBuffer = 1 << 20;

// A NETLINK_ROUTE socket that hears `groups`; -errno when none could be had.
int openRoute(std::uint32_t groups) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -errno;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = groups;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    ::close(fd);
    return -error;
  }
  return fd;
}

std::optional<asio::ip::address> addressOf(int family, const rtattr& attribute) {
  const auto* data = static_cast<const std::uint8_t*>(RTA_DATA(&attribute));
  const auto size = RTA_PAYLOAD(&attribute);
  if (family == AF_INET && size == 4) {
    asio::ip::address_v4::bytes_type bytes;
    std::memcpy(bytes.data(), data, bytes.size());
    return asio::ip::address_v4(bytes);
  }
  if (family == AF_INET6 && size == 16) {
    asio::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), data, bytes.size());
    return asio::ip::address_v6(bytes);
  }
  return std::nullopt;
}

void applyLink(std::map<int, Interface>& table, const nlmsghdr& message) {
  if (message.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
  const auto& link = *static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
  // A bridge port's messages (AF_BRIDGE) come and go with the port, not with the interface.
  if (link.ifi_family != AF_UNSPEC) return;
  if (message.nlmsg_type == RTM_DELLINK) {
    table.erase(link.ifi_index);
    return;
  }
  Interface& entry = table[link.ifi_index];
  entry.index = link.ifi_index;
  entry.loopback = link.ifi_flags & IFF_LOOPBACK;
  entry.pointToPoint = link.ifi_flags & IFF_POINTOPOINT;
}

void applyAddress(std::map<int, Interface>& table, nlmsghdr& message) {
  if (message.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
  const auto& info = *static_cast<const ifaddrmsg*>(NLMSG_DATA(&message));
  // A link is heard of before its addresses, and forgotten with them.
  const auto found = table.find(static_cast<int>(info.ifa_index));
  if (found == table.end()) return;
  // On a point-to-point link IFA_ADDRESS is the far end's; IFA_LOCAL is always this one's.
  std::optional<asio::ip::address> local, address;
  int length = static_cast<int>(IFA_PAYLOAD(&message));
  for (rtattr* a = IFA_RTA(&info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
    if (a->rta_type == IFA_LOCAL) local = addressOf(info.ifa_family, *a);
    if (a->rta_type == IFA_ADDRESS) address = addressOf(info.ifa_family, *a);
  }
  if (!local) local = address;
  if (!local) return;
  auto& prefixes = found->second.prefixes;
  const Prefix prefix{*local, info.ifa_prefixlen};
  std::erase(prefixes, prefix);
  if (message.nlmsg_type == RTM_NEWADDR) prefixes.push_back(prefix);
}

// Applies one datagram's messages to `table`: 0 while a dump goes on, else the dump's end (-1)
// or its error.
int applyAll(std::map<int, Interface>& table, std::uint8_t* data, std::size_t size) {
  // NLMSG_OK and NLMSG_NEXT's walk, in sizes that cannot go negative or wrap, which the
  // macros' mix of signed and unsigned leaves to the caller.
  for (std::size_t at = 0, length = 0; size - at >= sizeof(nlmsghdr);
       at += std::min<std::size_t>(NLMSG_ALIGN(length), size - at)) {
    auto* message = reinterpret_cast<nlmsghdr*>(data + at);
    length = message->nlmsg_len;
    if (length < sizeof(nlmsghdr) || length > size - at) break;
    switch (message->nlmsg_type) {
      case NLMSG_DONE:
        return -1;
      case NLMSG_ERROR: {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
        return error->error ? -error->error : EPROTO;
      }
      case RTM_NEWLINK:
      case RTM_DELLINK:
        applyLink(table, *message);
        break;
      case RTM_NEWADDR:
      case RTM_DELADDR:
        applyAddress(table, *message);
        break;
    }
  }
  return 0;
}

// Every link, then every address, asked for on a socket of its own; 0 or the errno. The
// notifications heard meanwhile are applied after it, so that the table ends up as it is.
int dumpInto(std::map<int, Interface>& table, std::uint8_t* buffer) {
  const int fd = openRoute(0);
  if (fd < 0) return -fd;
  // rtnetlink answers at once; a kernel that does not must not hold a network thread for long.
  const timeval patience{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  int outcome = 0;
  for (const std::uint16_t type : {RTM_GETLINK, RTM_GETADDR}) {
    struct {
      nlmsghdr header;
      rtgenmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = type;
    request.body.rtgen_family = AF_UNSPEC;
    outcome = ::send(fd, &request, request.header.nlmsg_len, 0) < 0 ? errno : 0;
    while (outcome == 0) {
      const ssize_t size = ::recv(fd, buffer, kBufferSize, 0);
      if (size < 0 && errno == EINTR) continue;
      outcome = size < 0 ? errno : applyAll(table, buffer, static_cast<std::size_t>(size));
    }
    if (outcome != -1) break;
    outcome = 0;
  }
  ::close(fd);
  return outcome;
}

}  // namespace

NetlinkInterfaces::NetlinkInterfaces(asio::io_context& context, LocalNetworks& networks)
    : networks_(networks),
      notifications_(context),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize)) {
  // Heard from before the dump, so that no change falls between the two.
  const int fd = openRoute(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR);
  if (fd < 0) {
    giveUp("opening a socket", -fd);
    return;
  }
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kNotificationBuffer, sizeof kNotificationBuffer);
  notifications_.assign(fd);
  if (!dump()) return;
  publish();
  wait();
}

void NetlinkInterfaces::close() {
  std::error_code ignored;
  notifications_.close(ignored);
}

void NetlinkInterfaces::wait() {
  notifications_.async_wait(asio::posix::stream_descriptor::wait_read,
                            [this](const std::error_code& error) { onReadable(error); });
}

void NetlinkInterfaces::onReadable(const std::error_code& error) {
  if (error) return;  // closed
  bool changed = false;
  for (;;) {
    const ssize_t size =
        ::recv(notifications_.native_handle(), buffer_.get(), kBufferSize, MSG_DONTWAIT);
    if (size > 0) {
      applyAll(table_, buffer_.get(), static_cast<std::size_t>(size));
      changed = true;
    } else if (size < 0 && errno == ENOBUFS) {
      // The kernel dropped notifications: what they said can only be asked for again.
      if (!dump()) return;
      changed = true;
    } else if (size < 0 && errno != EINTR && errno != EAGAIN) {
      return giveUp("reading", errno);
    } else if (size == 0 || errno == EAGAIN) {
      break;
    }
  }
  if (changed) publish();
  wait();
}

bool NetlinkInterfaces::dump() {
  table_.clear();
  const int error = dumpInto(table_, buffer_.get());
  if (error) giveUp("reading the interfaces", error);
  return error == 0;
}

void NetlinkInterfaces::giveUp(const char* step, int error) {
  close();
  networks_.publish(nullptr);
  diagnose("network", std::string("cannot follow this computer's interfaces (rtnetlink: ") + step +
                          ": " + std::strerror(error) + "); taking datagrams from every address");
}

void NetlinkInterfaces::publish() {
  auto table = std::make_shared<InterfaceTable>();
  for (const auto& [index, entry] : table_) table->push_back(entry);
  networks_.publish(std::move(table));
}

}  // namespace trovik::net
