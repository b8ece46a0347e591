#pragma once

// End-to-end harness: runs the built trovik-helper in a network namespace of its own and
// talks to it as a tablet would. Every wait has a time limit, so no test can hang.
//
// The test program's main() calls enterIsolation() before anything starts a thread (see
// e2e_main.cpp); each test then states what it needs with TROVIK_REQUIRE_ISOLATION() or
// TROVIK_REQUIRE_ENVIRONMENT(ok, why), which skip the test with the reason, or fail it under
// CI=true.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/test_environment.hpp"

#include "support/mailbox.hpp"
#include "support/udp_peer.hpp"

namespace trovik::e2e {

using test::kPatience;
using test::UdpPeer;

struct Isolation {
  bool ok = false;
  std::string why;  // what is missing when not ok
};

// Moves this process into a fresh network namespace with only `lo`, up (IPv4 and IPv6
// loopback, multicast on). Needs root; call before any thread starts, since threads that
// exist already stay behind. Remembers its result for isolation().
Isolation enterIsolation();
const Isolation& isolation();

#define TROVIK_REQUIRE_ISOLATION() \
  TROVIK_REQUIRE_ENVIRONMENT(::trovik::e2e::isolation().ok, ::trovik::e2e::isolation().why)

struct AgentOptions {
  std::string program = TROVIK_HELPER_PATH;
  std::vector<std::string> arguments;
  // Set (or replaced) in the test's own environment for the child, e.g. {"DISPLAY", ":7"}.
  // XDG_CONFIG_HOME defaults to a fresh folder that the harness removes afterwards;
  // DISPLAY, WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS and XDG_RUNTIME_DIR are not
  // inherited, and DBUS_SYSTEM_BUS_ADDRESS names a bus that does not exist.
  std::vector<std::pair<std::string, std::string>> environment;
  // False: standard output is a pipe that nobody reads, as a stalled terminal or logger.
  bool readOutput = true;
};

// The agent as a child process, its standard output and error read through pipes.
class AgentProcess {
 public:
  explicit AgentProcess(AgentOptions options = {});
  ~AgentProcess();  // kills the agent if it still runs, and reaps it
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The next standard output line not yet taken, waiting up to `timeout` for it.
  std::optional<std::string> nextLine(std::chrono::milliseconds timeout = kPatience);
  // Takes lines until one matches; nothing if none comes within `timeout` (the lines
  // passed over stay in lines()).
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                         std::chrono::milliseconds timeout = kPatience);
  bool waitForLine(std::string_view line, std::chrono::milliseconds timeout = kPatience);
  std::optional<std::string> waitForLineStartingWith(std::string_view prefix,
                                                     std::chrono::milliseconds timeout = kPatience);

  // Every standard output line read so far, taken or not.
  const std::vector<std::string>& lines() const { return lines_; }
  // Standard error so far, reading whatever is there now.
  std::string errorText();

  void signal(int number);
  // The exit status (128 + the signal's number when killed by one); nothing on timeout.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kPatience);

 private:
  // Reads what the pipes hold, waiting at most until `deadline` for something; false when
  // the deadline passed or both pipes are at their end.
  bool pump(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  bool readOutput_ = true;
  int pidfd_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::optional<int> status_;
  std::string configHome_;
  std::string partial_;
  std::string errorText_;
  std::vector<std::string> lines_;
  std::size_t taken_ = 0;
};

// The agent's fixed ports.
inline constexpr std::uint16_t kCommandPort = 9876;
inline constexpr std::uint16_t kStatePort = 9877;

}  // namespace trovik::e2e
