#include "namespace_env.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace trovik::dnssd_test {
namespace {

std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const auto& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Spawns with standard input from /dev/null and standard output to `outFd` (or /dev/null).
int spawn(const std::vector<std::string>& argv, int outFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  auto pointers = argvPointers(argv);
  const int rc = posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

bool onlyLoopback(std::string& others) {
  struct if_nameindex* interfaces = if_nameindex();
  if (!interfaces) return false;
  for (auto* i = interfaces; i->if_index != 0; ++i) {
    if (std::string(i->if_name) != "lo")
      others += std::string(others.empty() ? "" : ", ") + i->if_name;
  }
  if_freenameindex(interfaces);
  return others.empty();
}

}  // namespace

std::optional<std::string> namespaceUnavailable() {
  if (const char* reason = std::getenv("TROVIK_AVAHI_UNAVAILABLE")) {
    return std::string("no isolated Avahi environment: ") + reason;
  }
  const char* inside = std::getenv("TROVIK_AVAHI_NETNS");
  if (!inside || std::string(inside) != "1" || !std::getenv("TROVIK_AVAHI_CONTROL")) {
    return std::string("not inside scripts/with-avahi (run through ctest or scripts/with-avahi)");
  }
  std::string others;
  if (!onlyLoopback(others)) return "the namespace has interfaces besides lo: " + others;
  for (const char* tool : {"avahi-browse", "avahi-publish"}) {
    if (run({"sh", "-c", std::string("command -v ") + tool}, std::chrono::seconds(5)).exitCode !=
        0) {
      return std::string("missing ") + tool + " (run scripts/install-deps)";
    }
  }
  return std::nullopt;
}

RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  RunResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  const int pid = spawn(argv, fds[1]);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!killed && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

bool avahiDaemon(const std::string& command, const std::vector<std::string>& arguments) {
  const char* control = std::getenv("TROVIK_AVAHI_CONTROL");
  if (!control) return false;
  std::vector<std::string> argv{control, command};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv, std::chrono::seconds(20)).exitCode == 0;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv)
    : pid_(spawn(argv, -1)) {}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

bool eventually(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace trovik::dnssd_test
