#pragma once

// Runs the built trovik-helper in a network namespace of its own and talks to it as a
// tablet would. The test program's main() calls enterIsolation() before anything starts a
// thread (see e2e_main.cpp); each test then states what it needs with
// TROVIK_REQUIRE_ISOLATION() or TROVIK_REQUIRE_ENVIRONMENT(ok, why), which skip the test
// with the reason, or fail it under CI=true.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/process.hpp"
#include "support/test_environment.hpp"
#include "support/udp_peer.hpp"

namespace trovik::e2e {

using test::kPatience;
using test::UdpPeer;

// The agent's fixed ports.
inline constexpr std::uint16_t kCommandPort = 9876;
inline constexpr std::uint16_t kStatePort = 9877;

// Moves this process into a fresh network namespace with only `lo` up. Needs root; call it
// before any thread starts. Empty when it worked, else why not; isolationProblem() keeps it.
std::string enterIsolation();
const std::string& isolationProblem();

#define TROVIK_REQUIRE_ISOLATION()                                      \
  TROVIK_REQUIRE_ENVIRONMENT(::trovik::e2e::isolationProblem().empty(), \
                             ::trovik::e2e::isolationProblem())

struct AgentOptions {
  std::vector<std::string> arguments{};
  // Set, or replaced, for the agent, e.g. {"DISPLAY", ":7"}. XDG_CONFIG_HOME is a fresh
  // folder removed afterwards; the test's desktop (display, session bus, runtime folder) is
  // not inherited, and the system bus named is one that does not exist.
  std::vector<std::pair<std::string, std::string>> environment{};
  bool readOutput = true;  // false: standard output is a pipe nobody reads
  std::string program = TROVIK_HELPER_PATH;
};

struct ConfigHome {
  ConfigHome();
  ~ConfigHome();
  std::string path;
};

class AgentProcess : private ConfigHome, public test::Process {
 public:
  explicit AgentProcess(AgentOptions options = {});
  const std::string& configHome() const { return path; }
};

}  // namespace trovik::e2e
