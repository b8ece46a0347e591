#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace trovik::test {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds until(Clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

std::vector<std::string> environmentFor(const ProcessOptions& options) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    variables[std::string(text.substr(0, equals))] = text.substr(equals + 1);
  }
  for (const auto& name : options.unset) variables.erase(name);
  for (const auto& [name, value] : options.environment) variables[name] = value;
  std::vector<std::string> environment;
  for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
  return environment;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

Process::Process(ProcessOptions options) : readOutput_(options.readOutput) {
  auto environment = environmentFor(options);
  auto argv = pointers(options.argv);
  auto envp = pointers(environment);
  Pipe out, err;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (options.capture) {
    ::posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  } else {
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  // dup2 onto itself clears close-on-exec in the child only.
  if (options.inheritFd >= 0) {
    ::posix_spawn_file_actions_adddup2(&actions, options.inheritFd, options.inheritFd);
  }
  const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error(options.argv[0] + " cannot be started: " + std::strerror(spawned));
  }
  if (options.capture) {
    std::swap(out_, out.read);
    std::swap(err_, err.read);
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

Process::~Process() {
  if (!status_) {
    signal(SIGTERM);
    signal(SIGCONT);  // a stopped child would not hear the SIGTERM
    if (!waitForExit(std::chrono::seconds(5))) {
      signal(SIGKILL);
      waitForExit(std::chrono::seconds(5));
    }
  }
  for (int fd : {out_, err_, pidfd_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Process::signal(int number) const {
  if (!status_) ::kill(pid_, number);
}

bool Process::pump(Clock::time_point deadline) {
  pollfd fds[3];
  nfds_t count = 0;
  for (int fd : {readOutput_ ? out_ : -1, err_, status_ ? -1 : pidfd_}) {
    if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
  }
  if (count == 0) return false;
  const int ready = ::poll(fds, count, static_cast<int>(until(deadline).count()));
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
  int status = 0;
  if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    progressed = true;
  }
  return progressed || Clock::now() < deadline;
}

std::optional<std::string> Process::nextLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (taken_ >= lines_.size()) {
    if (!pump(deadline)) return std::nullopt;
  }
  return lines_[taken_++];
}

std::optional<std::string> Process::waitForLine(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (auto line = nextLine(until(deadline))) {
    if (matches(*line)) return line;
  }
  return std::nullopt;
}

bool Process::waitForLine(std::string_view line, std::chrono::milliseconds timeout) {
  return waitForLine([line](const std::string& l) { return l == line; }, timeout).has_value();
}

std::string Process::errorText() {
  while (err_ >= 0 && pump(Clock::now())) {
  }
  return errorText_;
}

std::optional<int> Process::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!status_ && pump(deadline)) {
  }
  // What the child wrote before it ended is still worth reading.
  while (status_ && pump(deadline)) {
  }
  return status_;
}

Pipe::Pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    read = fds[0];
    write = fds[1];
  }
}

Pipe::~Pipe() {
  closeWrite();
  if (read >= 0) ::close(read);
}

void Pipe::closeWrite() {
  if (write >= 0) ::close(write);
  write = -1;
}

}  // namespace trovik::test
