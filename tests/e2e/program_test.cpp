// The built program as a user starts it: its command line, and a command port that is taken.
// (Without any desktop service it serves tablets all the same: robustness_test.cpp.)

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
