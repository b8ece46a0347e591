// The built program as a user starts it, and under what a desktop or a user can throw at it:
// odd settings files, an output that stalls. (A command port that is taken: check_test.)
// It must keep serving the tablets it can serve, within bounded resources, and end within a
// second of a signal. (A frozen X server and a tablet's neighbour going are table rows; floods
// are bounded by the network backend: asio_network_test.)

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "e2e/agent_harness.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

static bool saidOnStandardError(AgentProcess& agent, const std::string& text) {
  return test::waitUntil([&] { return agent.errorText().find(text) != std::string::npos; });
}

// A signal ends it within a second, with status 0, whatever state it is in.
static void expectQuickCleanExit(AgentProcess& agent, int signal = SIGTERM) {
  agent.signal(signal);
  EXPECT_EQ(agent.waitForExit(1s), 0) << agent.errorText();
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

// With none of the desktop's services either: each lack, the file's among them, is said once.
TEST(Program, WhateverStandsForTheSettingsFileTheAgentListensAtOnce) {
  TROVIK_REQUIRE_ISOLATION();
  const test::TempFolder home;
  const fs::path file = fs::path(home.path) / "trovik-helper" / "defaults";
  fs::create_directories(file.parent_path());
  const std::pair<std::function<void()>, std::string> odd[] = {
      {[&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, "not a regular file"},
      {[&] { fs::create_symlink("/dev/zero", file); }, "not a regular file"},
      {[&] { fs::resize_file((std::ofstream(file) << "x=y\n", file), 10 << 20); },
       "larger than 64 KiB"}};
  for (const auto& [make, why] : odd) {
    fs::remove(file);
    make();
    AgentProcess agent({.environment = {{"XDG_CONFIG_HOME", home.path}}});
    EXPECT_TRUE(agent.waitForLine(kListening, 1s)) << agent.errorText();
    EXPECT_TRUE(saidOnStandardError(
        agent, "trovik-helper: settings: ignoring " + file.string() + ": " + why));
    expectQuickCleanExit(agent, SIGINT);
    std::istringstream notes(agent.errorText());
    std::set<std::string> seen, services;
    for (std::string line; std::getline(notes, line);) {
      EXPECT_TRUE(line.starts_with("trovik-helper: ")) << line;
      EXPECT_TRUE(seen.insert(line).second) << "said twice: " << line;
      services.insert(line.substr(15, line.find(':', 15) - 15));
    }
    EXPECT_EQ(services, (std::set<std::string>{"dns-sd", "keyboard", "screen lock", "settings",
                                               "status item", "workspace"}))
        << agent.errorText();
  }
}

// Nothing reads the agent's standard output: the lines that do not fit are dropped and
// counted, and the tablet is served all the same.
TEST(Program, ATabletIsServedInFullWhileStandardOutputStalls) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  const auto server = testing::XvfbServer::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
  AgentProcess agent({.environment = {{"DISPLAY", server->display()}}, .readOutput = false});
  UdpPeer tablet("127.0.0.2", 50000), state("127.0.0.2", kStatePort);
  // Said again until the agent listens; then it hears its opening sequence.
  ASSERT_TRUE(test::waitUntil([&] {
    tablet.sendTo("hello", kCommandPort);
    return state.receive(100ms) == "fcp:inactive";
  }));
  EXPECT_EQ(state.receive(kPatience), "app:inactive");
  EXPECT_EQ(state.receive(kPatience), "ax:granted");
  // 400 lines of 1 kB: more than the pipe and the agent's buffer hold. No key is named.
  std::string command;
  for (int i = 0; i < 500; ++i) command += "\u00e9";
  for (int n = 0; n < 400; ++n) {
    tablet.sendTo(command, kCommandPort);
    ASSERT_EQ(state.receive(kPatience), "key:fired") << n;
  }
  EXPECT_TRUE(saidOnStandardError(agent, " lines dropped: standard output is not being read"));
  expectQuickCleanExit(agent);
}

}  // namespace trovik::e2e
