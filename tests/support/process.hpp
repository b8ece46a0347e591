#pragma once

// The one way tests start programs: the agent, trovik-remote, Xvfb, dbus-daemon, a tray.
// Every wait has a time limit, so no test can hang on a child.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/mailbox.hpp"

namespace trovik::test {

struct ProcessOptions {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH
  // Set, or replaced, in the test's own environment; `unset` names are left out.
  std::vector<std::pair<std::string, std::string>> environment{};
  std::vector<std::string> unset{};
  // Standard output and error through pipes the test reads; else both go to /dev/null.
  bool capture = false;
  // With `capture`: false leaves standard output a pipe nobody reads, as a stalled reader.
  bool readOutput = true;
  int inheritFd = -1;  // a descriptor the child keeps
};

class Process {
 public:
  // Throws std::runtime_error when the program cannot be started.
  explicit Process(ProcessOptions options);
  // Stops the child if it still runs (SIGTERM, then SIGKILL after 5 s) and reaps it.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;

  // The next standard output line not yet taken, waiting up to `timeout` for it.
  std::optional<std::string> nextLine(std::chrono::milliseconds timeout = kPatience);
  // Takes lines until one matches; the lines passed over stay in lines().
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                         std::chrono::milliseconds timeout = kPatience);
  bool waitForLine(std::string_view line, std::chrono::milliseconds timeout = kPatience);
  // Every standard output line read so far, taken or not.
  const std::vector<std::string>& lines() const { return lines_; }
  // Standard error so far, reading whatever is there now.
  std::string errorText();
  // The exit status (128 + the signal's number when killed by one); nothing on timeout.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kPatience);

 private:
  // Reads what the pipes hold, waiting at most until `deadline`; false once that passed or
  // nothing is left to read.
  bool pump(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool readOutput_ = true;
  std::optional<int> status_;
  std::string partial_;
  std::string errorText_;
  std::vector<std::string> lines_;
  std::size_t taken_ = 0;
};

// A pipe whose ends close with it; both ends close-on-exec.
struct Pipe {
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void closeWrite();
  int read = -1;
  int write = -1;
};

}  // namespace trovik::test
