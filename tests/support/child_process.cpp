#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace trovik::testing {

std::optional<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv, int inheritFd,
                                                std::string& error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // dup2 onto itself clears close-on-exec in the child only.
  if (inheritFd >= 0) posix_spawn_file_actions_adddup2(&actions, inheritFd, inheritFd);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error = argv[0] + " cannot be started: " + std::strerror(rc);
    return std::nullopt;
  }
  return ChildProcess(pid);
}

void ChildProcess::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  kill(pid_, SIGCONT);  // a stopped child would not hear the SIGTERM
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

void ChildProcess::signal(int number) const {
  if (pid_ > 0) kill(pid_, number);
}

std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, int(left.count())) <= 0) return std::nullopt;
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
}

Pipe::Pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == 0) {
    read = fds[0];
    write = fds[1];
  }
}

Pipe::~Pipe() {
  closeRead();
  closeWrite();
}

void Pipe::closeWrite() {
  if (write >= 0) ::close(write);
  write = -1;
}

void Pipe::closeRead() {
  if (read >= 0) ::close(read);
  read = -1;
}

}  // namespace trovik::testing
