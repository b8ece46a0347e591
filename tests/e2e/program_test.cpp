// The built program as a user starts it: its command line, and a command port that is taken.
// (Without any desktop service it serves tablets all the same: robustness_test.cpp.)

#include <signal.h>

#include <filesystem>
#include <fstream>

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

// The trusted tablets from the command line: kept one a line, readable by the user alone; a
// line that is not a tablet's is skipped and said.
TEST(Program, TabletsAreAllowedListedAndForgottenFromTheCommandLine) {
  const test::TempFolder home;
  const std::string file = home.path + "/trovik-helper/tablets";
  const auto run = [&](std::vector<std::string> arguments, int status) {
    AgentProcess command(AgentOptions{arguments, {{"XDG_CONFIG_HOME", home.path}}});
    EXPECT_EQ(command.waitForExit(), status) << arguments.front();
    std::string said;
    while (auto line = command.nextLine(std::chrono::milliseconds(0))) said += *line + "\n";
    return said + command.errorText();
  };
  EXPECT_EQ(run({"--allow", "192.168.1.23"}, 0), "Allowed 192.168.1.23\n");
  EXPECT_EQ(run({"--allow", "fe80::2%lo"}, 0), "Allowed fe80::2%lo\n");
  EXPECT_EQ(run({"--allow", "tablet.local"}, 2),
            "trovik-helper: --allow needs a tablet's IP address, not \"tablet.local\"\n");
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::ofstream(file, std::ios::app) << "10.0.0.9 not-a-hardware-address\n";
  EXPECT_EQ(run({"--tablets"}, 0),
            "192.168.1.23\nfe80::2%lo\ntrovik-helper: tablets: " + file +
                ":3: not a tablet's address and hardware address; skipped\n");
  EXPECT_EQ(run({"--forget", "192.168.1.23"}, 0),
            "Forgot 192.168.1.23\ntrovik-helper: tablets: " + file +
                ":3: not a tablet's address and hardware address; skipped\n");
  EXPECT_EQ(run({"--forget", "192.168.1.23"}, 1), "192.168.1.23 was not trusted.\n");
  EXPECT_EQ(run({"--forget", "all"}, 0), "Forgot every trusted tablet\n");
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
