// Who holds the command port, read from the kernel's socket tables and the processes' open
// files: nothing is bound, so a running agent keeps its port.

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "platform/linux/check/check.hpp"

namespace trovik::check {
namespace {

namespace fs = std::filesystem;

// The inodes of the UDP sockets bound to `port` in this network namespace.
std::set<std::string> socketsOn(unsigned port) {
  std::set<std::string> inodes;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      const auto colon = local.rfind(':');
      if (colon == std::string::npos || inode.empty()) continue;
      if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) inodes.insert(inode);
    }
  }
  return inodes;
}

struct Holder {
  pid_t pid = 0;
  std::string name;
};

// The first process with one of `inodes` among its open files that this user may see.
std::optional<Holder> holderOf(const std::set<std::string>& inodes) {
  std::error_code ec;
  for (const auto& process : fs::directory_iterator("/proc", ec)) {
    const std::string pid = process.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
      std::error_code linkError;
      const std::string target = fs::read_symlink(fd.path(), linkError).string();
      if (!target.starts_with("socket:[")) continue;
      if (!inodes.contains(target.substr(8, target.size() - 9))) continue;
      Holder holder{static_cast<pid_t>(std::stol(pid)), {}};
      std::ifstream(process.path() / "comm") >> holder.name;
      return holder;
    }
  }
  return std::nullopt;
}

}  // namespace

Finding commandPort() {
  const std::string service = "command port";
  const std::string port = "UDP " + std::to_string(kCommandPort);
  const auto inodes = socketsOn(kCommandPort);
  if (inodes.empty()) return ok(service, port + " is free");
  const auto holder = holderOf(inodes);
  if (!holder) {
    return missing(
        service, port + " is taken by a process of another user",
        "find it with \"sudo ss -ulpn 'sport = " + std::to_string(kCommandPort) + "'\" and stop it",
        true);
  }
  const std::string who = holder->name + " (pid " + std::to_string(holder->pid) + ")";
  if (holder->name == "trovik-helper") {
    return ok(service, port + " is served by the running agent, " + who);
  }
  return missing(service, port + " is taken by " + who, "stop it, then start trovik-helper again",
                 true);
}

}  // namespace trovik::check
