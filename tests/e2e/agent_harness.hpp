#pragma once

// Runs the built trovik-helper in a network namespace of its own and talks to it as a
// tablet would. The test program's main() enters the namespace before anything starts a
// thread; each test then states what it needs with TROVIK_REQUIRE_ISOLATION() or
// TROVIK_REQUIRE_ENVIRONMENT(ok, why), which skip the test with the reason, or fail it under
// CI=true.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/process.hpp"
#include "support/test_environment.hpp"
#include "support/udp_peer.hpp"

namespace trovik::e2e {

using test::kPatience;
using test::UdpPeer;

// The agent's fixed ports, and what it says once it serves them.
inline constexpr std::uint16_t kCommandPort = 9876;
inline constexpr std::uint16_t kStatePort = 9877;
inline constexpr std::string_view kListening =
    "Trovik: Listening and advertising as Bonjour service";

// Why the tests are not in a network namespace of their own: main() sets it to the answer of
// test::enterNetworkNamespace().
inline std::string isolationProblem = "main() did not enter a network namespace";

#define TROVIK_REQUIRE_ISOLATION()                                    \
  TROVIK_REQUIRE_ENVIRONMENT(::trovik::e2e::isolationProblem.empty(), \
                             ::trovik::e2e::isolationProblem)

struct AgentOptions {
  std::vector<std::string> arguments{};
  // Set, or replaced, for the agent, e.g. {"DISPLAY", ":7"}. XDG_CONFIG_HOME is a fresh
  // folder removed afterwards; the test's desktop (display, session bus, runtime folder) is
  // not inherited, and the system bus named is one that does not exist.
  std::vector<std::pair<std::string, std::string>> environment{};
  bool readOutput = true;  // false: standard output is a pipe nobody reads
  std::string program = TROVIK_HELPER_PATH;
};

class AgentProcess : private test::TempFolder, public test::Process {
 public:
  explicit AgentProcess(AgentOptions options = {}) : Process(processOptions(options, path)) {}

 private:
  static test::ProcessOptions processOptions(const AgentOptions& options,
                                             const std::string& configHome) {
    test::ProcessOptions process{{options.program}};
    process.argv.insert(process.argv.end(), options.arguments.begin(), options.arguments.end());
    // Under ThreadSanitizer a process otherwise lingers a second at exit, past what the tests
    // allow for a stop.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    process.environment = {{"XDG_CONFIG_HOME", configHome},
                           {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + configHome + "/no-bus"},
                           {"TSAN_OPTIONS", std::string(tsan ? tsan : "") + " atexit_sleep_ms=0"}};
    // Later entries win.
    process.environment.insert(process.environment.end(), options.environment.begin(),
                               options.environment.end());
    // Through the test's own desktop, the agent would be seen outside the test.
    process.unset = {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"};
    process.capture = true;
    process.readOutput = options.readOutput;
    return process;
  }
};

// Says it again until the agent takes it as a client (new peers are admitted at a rate);
// what it heard: the opening sequence.
inline std::vector<std::string> greet(UdpPeer& tablet, UdpPeer& state,
                                      std::string_view first = "hello",
                                      std::chrono::seconds patience = kPatience,
                                      const std::string& agent = "127.0.0.1") {
  using namespace std::chrono_literals;
  std::vector<std::string> heard;
  for (auto deadline = std::chrono::steady_clock::now() + patience;
       heard.empty() && std::chrono::steady_clock::now() < deadline;) {
    tablet.sendTo(first, kCommandPort, agent);
    if (auto datagram = state.receive(250ms)) heard.push_back(*datagram);
  }
  while (heard.size() < 3) {
    auto datagram = state.receive(kPatience);
    if (!datagram) break;
    heard.push_back(*datagram);
  }
  return heard;
}

}  // namespace trovik::e2e
