#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace trovik::test {

// Moves this process into a fresh network namespace whose only interface, `lo`, is up
// (IPv4 and IPv6 loopback, multicast on). Needs root. Call it before any thread starts:
// threads that exist already stay in the old namespace. Empty on success, otherwise why not.
inline std::string enterNetworkNamespace() {
  if (::unshare(CLONE_NEWNET) != 0) {
    return std::string("a network namespace of its own (unshare CLONE_NEWNET; needs root): ") +
           std::strerror(errno);
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_MULTICAST);
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  const std::string why = up ? "" : std::string("bringing lo up: ") + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return why;
}

}  // namespace trovik::test
