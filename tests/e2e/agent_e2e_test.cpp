// The built agent, talked to over UDP as a tablet would, in a network of its own.

#include <signal.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "e2e/agent_harness.hpp"

namespace trovik::e2e {
namespace {

constexpr std::string_view kListening = "Trovik: Listening and advertising as Bonjour service";

std::string newClientLine(const std::string& host) {
  return "Trovik: New client from " + host + ", creating state channel on port 9877";
}
std::string stateLine(const std::string& host, const std::string& state) {
  return "Trovik: State connection to " + host + " \u2192 " + state;
}

AgentOptions withArguments(std::vector<std::string> arguments) {
  AgentOptions options;
  options.arguments = std::move(arguments);
  return options;
}

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override { TROVIK_REQUIRE_ISOLATION(); }

  // Starts the agent and waits until its listener is ready.
  void launch() {
    agent.emplace();
    ASSERT_TRUE(agent->waitForLine(kListening)) << agent->errorText();
  }

  // True once the agent has written `line`, whether before or within `kPatience`.
  bool saw(std::string_view line) {
    const auto& lines = agent->lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end() || agent->waitForLine(line);
  }

  // Stops it as a user would and expects a clean exit (under ASan: without leaks).
  void stop(int signal = SIGTERM) {
    agent->signal(signal);
    EXPECT_EQ(agent->waitForExit(), 0) << agent->errorText();
  }

  // The opening sequence while no editor is in front and keys cannot be posted.
  void expectOpeningSequence(UdpPeer& state, const std::string& from) {
    for (const char* text : {"fcp:inactive", "app:inactive", "ax:denied"}) {
      auto datagram = state.receiveFrom(kPatience);
      ASSERT_TRUE(datagram) << "waiting for " << text;
      EXPECT_EQ(datagram->payload, text);
      EXPECT_EQ(datagram->address, from);
      EXPECT_NE(datagram->port, kCommandPort);  // from an ephemeral port
    }
  }

  std::optional<AgentProcess> agent;
};

TEST(CommandLine, HelpAndVersionExitZeroAndAnythingElseIsAUsageError) {
  AgentProcess help(withArguments({"--help"}));
  EXPECT_EQ(help.waitForExit(), 0);
  ASSERT_FALSE(help.lines().empty());
  EXPECT_EQ(help.lines().front(), "Usage: trovik-helper [--help | --version]");

  AgentProcess version(withArguments({"--version"}));
  EXPECT_EQ(version.waitForExit(), 0);
  ASSERT_EQ(version.lines().size(), 1u);
  EXPECT_TRUE(version.lines().front().starts_with("trovik-helper ")) << version.lines().front();

  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"--bogus"}, {"--help", "--version"}, {"run"}}) {
    AgentProcess wrong(withArguments(arguments));
    EXPECT_EQ(wrong.waitForExit(), 2) << arguments.front();
    EXPECT_TRUE(wrong.lines().empty());
    EXPECT_TRUE(wrong.errorText().starts_with("Usage: trovik-helper")) << wrong.errorText();
  }
}

TEST_F(AgentTest, LaunchesInOrderAndSaysOnceWhatThisMachineLacks) {
  launch();
  // The first check reaches no one; the editor observer comes after it.
  const std::string broadcast = "Trovik: Broadcasting 'ax:denied' to 0 state clients";
  const std::string observer = "Trovik: observeFrontmostApp installed, initial editor: none";
  ASSERT_TRUE(saw(broadcast) && saw(observer));
  const auto& lines = agent->lines();
  EXPECT_LT(std::find(lines.begin(), lines.end(), broadcast),
            std::find(lines.begin(), lines.end(), observer));
  stop();

  std::istringstream diagnostics(agent->errorText());
  std::set<std::string> seen;
  int discovery = 0;
  for (std::string line; std::getline(diagnostics, line);) {
    EXPECT_TRUE(line.starts_with("trovik-helper: ")) << line;
    EXPECT_TRUE(seen.insert(line).second) << "said twice: " << line;
    discovery += line.starts_with("trovik-helper: dns-sd: ");
  }
  EXPECT_EQ(discovery, 1) << "no avahi-daemon here: one line about discovery";
}

TEST_F(AgentTest, ATabletIsGreetedWithItsStateAndItsCommandsAreHandledInOrder) {
  UdpPeer state("::", kStatePort);
  launch();
  UdpPeer tablet;
  tablet.sendTo("hello", kCommandPort);
  EXPECT_TRUE(agent->waitForLine(newClientLine("127.0.0.1")));
  expectOpeningSequence(state, "::ffff:127.0.0.1");
  EXPECT_TRUE(agent->waitForLine(stateLine("127.0.0.1", "preparing")));
  EXPECT_TRUE(agent->waitForLine(stateLine("127.0.0.1", "ready")));

  // Trimmed and logged; no key can be posted here, so no key:fired either.
  tablet.sendTo(" SPACE\r\n", kCommandPort);
  EXPECT_TRUE(agent->waitForLine("Trovik: Received 'SPACE'"));
  EXPECT_EQ(agent->nextLine(), "Trovik: Accessibility permission not granted");
  // Dropped without a word: the reserved prefix, the greeting, white space, nothing, bad UTF-8.
  for (const char* ignored : {"fcp:", "fcp:active", "hello\n", " \t ", "", "\xff\xfe"}) {
    tablet.sendTo(ignored, kCommandPort);
  }
  tablet.sendTo("Hello", kCommandPort);  // not the greeting: a key
  EXPECT_EQ(agent->nextLine(), "Trovik: Received 'Hello'");
  EXPECT_EQ(agent->nextLine(), "Trovik: Accessibility permission not granted");
  stop();

  // Standard output is exactly the agent's own lines, and no key:fired among them.
  std::vector<std::string> expected = {
      "Trovik: Broadcasting 'ax:denied' to 0 state clients",
      "Trovik: Listening and advertising as Bonjour service",
      "Trovik: observeFrontmostApp installed, initial editor: none",
      newClientLine("127.0.0.1"),
      stateLine("127.0.0.1", "preparing"),
      stateLine("127.0.0.1", "ready"),
      "Trovik: Received 'SPACE'",
      "Trovik: Accessibility permission not granted",
      "Trovik: Received 'Hello'",
      "Trovik: Accessibility permission not granted",
  };
  auto actual = agent->lines();
  std::sort(expected.begin(), expected.end());
  std::sort(actual.begin(), actual.end());
  EXPECT_EQ(actual, expected);
}

TEST_F(AgentTest, OneHostSendingFromTwoPortsIsTwoClientsWithAChannelEach) {
  UdpPeer state("127.0.0.1", kStatePort);
  launch();
  UdpPeer first, second;
  first.sendTo("hello", kCommandPort);
  second.sendTo("hello", kCommandPort);
  EXPECT_TRUE(agent->waitForLine(newClientLine("127.0.0.1")));
  EXPECT_TRUE(agent->waitForLine(newClientLine("127.0.0.1")));
  std::map<std::string, int> received;
  std::set<std::uint16_t> channels;
  for (int i = 0; i < 6; ++i) {
    auto datagram = state.receiveFrom(kPatience);
    ASSERT_TRUE(datagram);
    ++received[datagram->payload];
    channels.insert(datagram->port);
  }
  EXPECT_EQ(received, (std::map<std::string, int>{
                          {"fcp:inactive", 2}, {"app:inactive", 2}, {"ax:denied", 2}}));
  EXPECT_EQ(channels.size(), 2u);
  stop();
}

TEST_F(AgentTest, AnIpv6TabletGetsItsChannelOverIpv6) {
  UdpPeer state("::1", kStatePort);
  launch();
  UdpPeer tablet("::1");
  tablet.sendTo("hello", kCommandPort, "::1");
  EXPECT_TRUE(agent->waitForLine(newClientLine("::1")));
  expectOpeningSequence(state, "::1");
  EXPECT_TRUE(agent->waitForLine(stateLine("::1", "ready")));
  stop(SIGINT);
}

TEST_F(AgentTest, AChannelToATabletThatDoesNotListenFails) {
  launch();
  UdpPeer tablet;  // and nothing on port 9877
  tablet.sendTo("hello", kCommandPort);
  EXPECT_TRUE(agent->waitForLine(stateLine("127.0.0.1", "ready")));
  EXPECT_TRUE(agent->waitForLine(stateLine("127.0.0.1", "failed(Connection refused)")));
  // The tablet's commands are still handled, and other tablets are still served.
  tablet.sendTo("x", kCommandPort);
  EXPECT_TRUE(agent->waitForLine("Trovik: Received 'x'"));
  UdpPeer otherState("127.0.0.2", kStatePort);
  UdpPeer other("127.0.0.2");
  other.sendTo("hello", kCommandPort);
  EXPECT_TRUE(agent->waitForLine(newClientLine("127.0.0.2")));
  expectOpeningSequence(otherState, "127.0.0.1");  // the agent answers from its own address
  stop();
}

TEST_F(AgentTest, APortInUseFailsTheListenerButTheAgentRunsOn) {
  UdpPeer occupant("::", kCommandPort);
  agent.emplace();
  EXPECT_TRUE(agent->waitForLine("Trovik: Listener failed: Address already in use"));
  stop();  // still running, and still ends cleanly
}

}  // namespace
}  // namespace trovik::e2e
