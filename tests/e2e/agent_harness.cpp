#include "e2e/agent_harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "support/network_namespace.hpp"

extern char** environ;

namespace trovik::e2e {
namespace {

Isolation& isolationResult() {
  static Isolation result{false, "enterIsolation() was not called before the tests"};
  return result;
}

std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::chrono::milliseconds until(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

}  // namespace

Isolation enterIsolation() {
  Isolation& result = isolationResult();
  result.why = test::enterNetworkNamespace();
  result.ok = result.why.empty();
  return result;
}

const Isolation& isolation() {
  return isolationResult();
}

AgentProcess::AgentProcess(AgentOptions options) : readOutput_(options.readOutput) {
  char folder[] = "/tmp/trovik-e2e-XXXXXX";
  if (!::mkdtemp(folder)) throw std::runtime_error(failure("mkdtemp"));
  configHome_ = folder;

  // Everything the child needs is made before it exists.
  std::vector<std::string> environment;
  // No system bus either, unless a test brings one: through the host's, the agent would
  // publish itself by DNS-SD outside the test's namespace.
  std::vector<std::pair<std::string, std::string>> overrides = {
      {"XDG_CONFIG_HOME", configHome_},
      {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + configHome_ + "/no-system-bus"}};
  overrides.insert(overrides.end(), options.environment.begin(), options.environment.end());
  // The desktop the tests run in must not leak in: a test names the display or bus it made.
  // XDG_RUNTIME_DIR too: the session bus is looked for there when no address is set.
  constexpr std::string_view kDesktop[] = {
      "DISPLAY=", "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "XDG_RUNTIME_DIR="};
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    if (std::any_of(std::begin(kDesktop), std::end(kDesktop),
                    [&](std::string_view d) { return text.starts_with(d); })) {
      continue;
    }
    const bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) {
      return text.starts_with(o.first + "=");
    });
    if (!replaced) environment.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) {
    std::erase_if(environment, [&](const std::string& e) { return e.starts_with(name + "="); });
    environment.push_back(name + "=" + value);
  }
  std::vector<std::string> arguments{options.program};
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  const auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
  };
  auto argv = pointers(arguments);
  auto envp = pointers(environment);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error(failure("pipe2"));
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  const int spawned =
      ::posix_spawn(&pid_, options.program.c_str(), &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (spawned != 0) {
    errno = spawned;
    throw std::runtime_error(failure("posix_spawn " + options.program));
  }
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
  ::fcntl(err_, F_SETFL, O_NONBLOCK);
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

AgentProcess::~AgentProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    waitForExit(kPatience);
  }
  for (int fd : {out_, err_, pidfd_}) {
    if (fd >= 0) ::close(fd);
  }
  std::error_code ignored;
  std::filesystem::remove_all(configHome_, ignored);
}

bool AgentProcess::pump(std::chrono::steady_clock::time_point deadline) {
  pollfd fds[3];
  nfds_t count = 0;
  for (int fd : {readOutput_ ? out_ : -1, err_}) {
    if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
  }
  const bool watchExit = !status_ && pidfd_ >= 0;
  if (watchExit) fds[count++] = {pidfd_, POLLIN, 0};
  if (count == 0 && status_) return false;
  // Without a pidfd (old kernels) the exit is looked for every few milliseconds.
  auto wait = until(deadline);
  if (!status_ && pidfd_ < 0) wait = std::min(wait, std::chrono::milliseconds(10));
  const int ready = ::poll(fds, count, static_cast<int>(wait.count()));
  bool progressed = false;
  for (nfds_t i = 0; ready > 0 && i < count; ++i) {
    if (!fds[i].revents) continue;
    progressed = true;
    if (fds[i].fd == pidfd_) continue;  // reaped below
    char buffer[65536];
    const ssize_t size = ::read(fds[i].fd, buffer, sizeof buffer);
    if (size == 0 || (size < 0 && errno != EAGAIN && errno != EINTR)) {
      ::close(fds[i].fd);
      (fds[i].fd == out_ ? out_ : err_) = -1;
    } else if (size > 0 && fds[i].fd == err_) {
      errorText_.append(buffer, static_cast<std::size_t>(size));
    } else if (size > 0) {
      partial_.append(buffer, static_cast<std::size_t>(size));
      for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
        lines_.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
      }
    }
  }
  if (!status_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      progressed = true;
    }
  }
  return progressed || std::chrono::steady_clock::now() < deadline;
}

std::optional<std::string> AgentProcess::nextLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (taken_ >= lines_.size()) {
    if (!pump(deadline)) return std::nullopt;
  }
  return lines_[taken_++];
}

std::optional<std::string> AgentProcess::waitForLine(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (auto line = nextLine(until(deadline))) {
    if (matches(*line)) return line;
  }
  return std::nullopt;
}

bool AgentProcess::waitForLine(std::string_view line, std::chrono::milliseconds timeout) {
  return waitForLine([line](const std::string& l) { return l == line; }, timeout).has_value();
}

std::optional<std::string> AgentProcess::waitForLineStartingWith(
    std::string_view prefix, std::chrono::milliseconds timeout) {
  return waitForLine([prefix](const std::string& l) { return l.starts_with(prefix); }, timeout);
}

std::string AgentProcess::errorText() {
  while (pump(std::chrono::steady_clock::now()) && err_ >= 0) {
  }
  return errorText_;
}

void AgentProcess::signal(int number) {
  if (!status_) ::kill(pid_, number);
}

std::optional<int> AgentProcess::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_ && pump(deadline)) {
  }
  // What the agent wrote before it ended is still worth reading.
  while (status_ && ((readOutput_ && out_ >= 0) || err_ >= 0) && pump(deadline)) {
  }
  return status_;
}

}  // namespace trovik::e2e
