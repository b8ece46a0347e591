#pragma once

// The one way tests start programs: the agent, trovik-remote, Xvfb, dbus-daemon, a tray.
// Every wait has a time limit, so no test can hang on a child.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/mailbox.hpp"

extern char** environ;

namespace trovik::test {

struct ProcessOptions {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH
  // Set, or replaced, in the test's own environment (a later entry wins); `unset` names are
  // left out.
  std::vector<std::pair<std::string, std::string>> environment{};
  std::vector<std::string> unset{};
  // Standard output and error through pipes the test reads; else both go to /dev/null.
  bool capture = false;
  // With `capture`: false leaves standard output a pipe nobody reads, as a stalled reader.
  bool readOutput = true;
};

// A pipe whose ends close with it; both ends close-on-exec.
struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) read = fds[0], write = fds[1];
  }
  ~Pipe() {
    closeWrite();
    if (read >= 0) ::close(read);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
  int read = -1;
  int write = -1;
};

class Process {
 public:
  // Throws std::runtime_error when the program cannot be started.
  explicit Process(ProcessOptions options) : readOutput_(options.readOutput) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text(*entry);
      variables[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
    }
    for (const auto& name : options.unset) variables.erase(name);
    for (const auto& [name, value] : options.environment) variables[name] = value;
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    Pipe out, err;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    for (const auto& [fd, to] : {std::pair{STDOUT_FILENO, out.write}, {STDERR_FILENO, err.write}}) {
      if (options.capture) ::posix_spawn_file_actions_adddup2(&actions, to, fd);
      if (!options.capture)
        ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    }
    const int spawned = ::posix_spawnp(&pid_, options.argv[0].c_str(), &actions, nullptr,
                                       pointers(options.argv).data(), pointers(environment).data());
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
  // Stops the child if it still runs (SIGTERM, then SIGKILL after 5 s) and reaps it.
  ~Process() {
    signal(SIGTERM);
    signal(SIGCONT);  // a stopped child would not hear the SIGTERM
    if (!status_ && !waitForExit(std::chrono::seconds(5))) {
      signal(SIGKILL);
      waitForExit(std::chrono::seconds(5));
    }
    for (int fd : {out_, err_, pidfd_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const {
    if (!status_) ::kill(pid_, number);
  }

  // The next standard output line not yet taken, waiting up to `timeout` for it.
  std::optional<std::string> nextLine(std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = Clock::now() + timeout;
    while (taken_ >= lines_.size()) {
      if (!pump(deadline)) return std::nullopt;
    }
    return lines_[taken_++];
  }
  // Takes lines until one matches; the lines passed over stay in lines().
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                         std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = Clock::now() + timeout;
    while (auto line = nextLine(until(deadline))) {
      if (matches(*line)) return line;
    }
    return std::nullopt;
  }
  bool waitForLine(std::string_view line, std::chrono::milliseconds timeout = kPatience) {
    return waitForLine([line](const std::string& l) { return l == line; }, timeout).has_value();
  }
  // Every standard output line read so far, taken or not.
  const std::vector<std::string>& lines() const { return lines_; }
  // Standard error so far, reading whatever is there now.
  std::string errorText() {
    while (err_ >= 0 && pump(Clock::now())) {
    }
    return errorText_;
  }
  // The exit status (128 + the signal's number when killed by one); nothing on timeout.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = Clock::now() + timeout;
    while (!status_ && pump(deadline)) {
    }
    // What the child wrote before it ended is still worth reading.
    while (status_ && pump(deadline)) {
    }
    return status_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  static std::chrono::milliseconds until(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  }
  static std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
  }

  // Reads what the pipes hold, waiting at most until `deadline`; false once that passed or
  // nothing is left to read.
  bool pump(Clock::time_point deadline) {
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

  pid_t pid_ = -1;
  int pidfd_ = -1, out_ = -1, err_ = -1;
  bool readOutput_ = true;
  std::optional<int> status_;
  std::string partial_, errorText_;
  std::vector<std::string> lines_;
  std::size_t taken_ = 0;
};

}  // namespace trovik::test
