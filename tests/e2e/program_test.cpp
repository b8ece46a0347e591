// The built program as a user starts it: its command line, a machine with none of the
// desktop services, and a command port that is taken.

#include <signal.h>

#include <set>
#include <sstream>

#include "e2e/agent_harness.hpp"

namespace trovik::e2e {
namespace {

TEST(Program, HelpAndVersionExitZeroAndAnythingElseIsAUsageError) {
  const std::pair<std::vector<std::string>, int> runs[] = {
      {{"--help"}, 0}, {{"--version"}, 0}, {{"--bogus"}, 2}, {{"--help", "--version"}, 2}};
  for (const auto& [arguments, status] : runs) {
    AgentProcess run(AgentOptions{arguments});
    EXPECT_EQ(run.waitForExit(), status) << arguments.front();
    const std::string said = status ? run.errorText() : run.nextLine().value_or("");
    EXPECT_TRUE(said.starts_with(arguments == std::vector<std::string>{"--version"}
                                     ? "trovik-helper 0."
                                     : "Usage: trovik-helper [--help | --version]"))
        << said;
  }
}

// No X display, no uinput, no session bus, no avahi-daemon: the agent serves tablets all the
// same, and says once what each missing service costs.
TEST(Program, WithoutAnyDesktopServiceTabletsAreServedAndEachLackSaidOnce) {
  TROVIK_REQUIRE_ISOLATION();
  UdpPeer state("127.0.0.1", kStatePort);
  AgentProcess agent;
  ASSERT_TRUE(agent.waitForLine("Trovik: Listening and advertising as Bonjour service"));
  UdpPeer tablet;
  tablet.sendTo("hello", kCommandPort);
  for (const char* text : {"fcp:inactive", "app:inactive", "ax:denied"}) {
    EXPECT_EQ(state.receive(kPatience), text);
  }
  tablet.sendTo("SPACE", kCommandPort);
  EXPECT_TRUE(agent.waitForLine("Trovik: Received 'SPACE'"));
  EXPECT_EQ(agent.nextLine(), "Trovik: Accessibility permission not granted");
  agent.signal(SIGINT);
  EXPECT_EQ(agent.waitForExit(), 0) << agent.errorText();

  std::istringstream notes(agent.errorText());
  std::set<std::string> seen, services;
  for (std::string line; std::getline(notes, line);) {
    EXPECT_TRUE(line.starts_with("trovik-helper: ")) << line;
    EXPECT_TRUE(seen.insert(line).second) << "said twice: " << line;
    services.insert(line.substr(15, line.find(':', 15) - 15));
  }
  EXPECT_TRUE(services.contains("dns-sd") && services.contains("keyboard") &&
              services.contains("workspace") && services.contains("status item"))
      << agent.errorText();
  EXPECT_FALSE(state.receive(std::chrono::milliseconds(0)));  // no key:fired without access
}

TEST(Program, ACommandPortInUseFailsTheListenerButTheAgentRunsOn) {
  TROVIK_REQUIRE_ISOLATION();
  UdpPeer occupant("::", kCommandPort);
  AgentProcess agent;
  EXPECT_TRUE(agent.waitForLine("Trovik: Listener failed: Address already in use"));
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(), 0) << agent.errorText();
}

}  // namespace
}  // namespace trovik::e2e
