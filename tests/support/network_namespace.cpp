#include "support/network_namespace.hpp"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trovik::test {
namespace {

std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string bringLoopbackUp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failure("socket");
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_MULTICAST);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  const std::string why = ok ? "" : failure("bringing lo up");
  ::close(fd);
  return why;
}

}  // namespace

std::string enterNetworkNamespace() {
  if (::unshare(CLONE_NEWNET) != 0) {
    return failure("a network namespace of its own (unshare CLONE_NEWNET; needs root)");
  }
  return bringLoopbackUp();
}

}  // namespace trovik::test
