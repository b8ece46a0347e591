#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace trovik::testing {

// A helper program (Xvfb, dbus-daemon) started by a test and stopped with it.
class ChildProcess {
 public:
  // Starts argv[0] from PATH with `inheritFd` (when not -1) left open in the child and its
  // output discarded. Null with `error` set when it cannot start.
  static std::optional<ChildProcess> spawn(const std::vector<std::string>& argv, int inheritFd,
                                           std::string& error);
  ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess() { stop(); }

  // SIGTERM (and SIGCONT, should it be stopped), then SIGKILL if it has not ended within
  // 5 s; returns once it has ended.
  void stop();
  void signal(int number) const;

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// One line (without its newline) read from `fd` within `timeout`; none on EOF or timeout.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout);

// A pipe whose ends close with it; both ends close-on-exec.
struct Pipe {
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void closeWrite();
  void closeRead();
  int read = -1;
  int write = -1;
};

}  // namespace trovik::testing
