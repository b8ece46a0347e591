// trovik-remote against the built agent, each test in a network namespace of its own;
// RemoteList runs under scripts/with-avahi, which brings the namespace and its avahi-daemon.

#include <gmock/gmock.h>

#include <iostream>

#include "e2e/agent_harness.hpp"
#include "platform/linux/desktop/linux_host_info.hpp"
#include "support/network_namespace.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

// Runs trovik-remote to its end. The agent, when given, is read meanwhile: it logs every
// command, and a full pipe would stall it.
static std::unique_ptr<AgentProcess> runRemote(AgentOptions options,
                                               AgentProcess* agent = nullptr) {
  options.program = TROVIK_REMOTE_PATH;
  auto remote = std::make_unique<AgentProcess>(std::move(options));
  for (int i = 0; i < 3000 && !remote->waitForExit(20ms); ++i)
    while (agent && agent->nextLine(0ms)) continue;
  return remote;
}

TEST(RemoteAgent, PingSendAndWatchServeTheAgentOnAnXServer) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  auto server = testing::XvfbServer::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
  auto recorder = testing::XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(recorder) << error;
  AgentProcess agent({{}, {{"DISPLAY", server->display()}}});
  ASSERT_TRUE(agent.waitForLine(kListening)) << agent.errorText();

  // The README's figures: the agent typing each SPACE, then a plain UDP echo, the floor.
  UdpPeer echo;
  std::jthread echoing([&](std::stop_token stop) {
    while (!stop.stop_requested())
      if (auto d = echo.receiveFrom(50ms)) echo.sendTo(d->payload, d->port, d->address);
  });
  for (const auto& [option, value] : {std::pair<std::string, std::string>{"--to", "127.0.0.1"},
                                      {"--echo", "127.0.0.1:" + std::to_string(echo.port())}}) {
    const auto ping = runRemote(
        {{"ping", "--count", "1000", "--command", "SPACE", "--json", option, value}}, &agent);
    EXPECT_EQ(ping->waitForExit(0ms), 0) << ping->errorText();
    ASSERT_EQ(ping->lines().size(), 1u) << ping->errorText();
    EXPECT_THAT(ping->lines()[0], HasSubstr("\"count\":1000,\"unanswered\":0,\"min_us\":"));
    std::cout << ping->lines()[0] << std::endl;
  }
  EXPECT_EQ(recorder->takeAll(2000, 20s).size(), 2000u);  // each confirmed SPACE was typed

  const auto sent = runRemote({{"send", "--to", "127.0.0.1", "SPACE", "shift+a"}}, &agent);
  EXPECT_EQ(sent->waitForExit(0ms), 0) << sent->errorText();
  std::vector<testing::SeenKey> keys;
  testing::addPress(keys, 65);
  testing::addPress(keys, 38, true);
  EXPECT_EQ(recorder->takeAll(keys.size(), 10s), keys);

  // The state channels of ping and send still reach this host: watch hears each message once.
  AgentProcess watch({{"watch", "--to", "127.0.0.1"}, {}, true, TROVIK_REMOTE_PATH});
  const Texts heard = {"fcp:inactive", "app:inactive", "ax:granted", "fcp:inactive",
                       "app:active:com.blackmagic-design.davinci-resolve"};
  for (std::size_t i = 0; i < heard.size(); ++i) {
    if (i == 3) recorder->activate(recorder->make("resolve"));
    EXPECT_THAT(watch.nextLine().value_or("(none)"),
                ::testing::MatchesRegex("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} " + heard[i]));
  }
  watch.signal(SIGINT);
  EXPECT_EQ(watch.waitForExit(), 0) << watch.errorText();
  EXPECT_EQ(watch.lines().size(), heard.size());
}

TEST(RemoteAgent, ExitStatusSaysWhyNoKeyWasConfirmed) {
  TROVIK_REQUIRE_ISOLATION();
  const auto expectSend = [](int status, const std::string& said) {
    const auto sent = runRemote({{"send", "--to", "127.0.0.1", "--timeout", "0.5", "SPACE"}});
    EXPECT_EQ(sent->waitForExit(0ms), status);
    EXPECT_THAT(sent->errorText(), StartsWith("trovik-remote: " + said));
  };
  expectSend(4, "no agent at 127.0.0.1:9876");  // nothing listens: refused at once
  std::optional<UdpPeer> silent(std::in_place, "127.0.0.1", kCommandPort);
  expectSend(4, "no answer from the agent at 127.0.0.1:9876 within 0.5 s");
  EXPECT_EQ(silent->receive(0ms), "hello");
  silent.reset();
  AgentProcess agent;  // no display, no uinput: it may not type
  ASSERT_TRUE(agent.waitForLine(kListening)) << agent.errorText();
  expectSend(3, "the agent at 127.0.0.1:9876 may not press keys");
  UdpPeer holder("::", kStatePort);
  expectSend(2, "UDP port 9877 is in use");
  UdpPeer().sendTo("still here", kStatePort);
  EXPECT_EQ(holder.receive(kPatience), "still here");
}

// The agent takes the computer's name, one that DNS-SD must escape (a host name in a UTS
// namespace of the test's own), and is found by it.
TEST(RemoteList, FindsTheAgentByNameAndReachesItWithoutAnAddress) {
  const std::string why = test::avahiNamespaceProblem();
  TROVIK_REQUIRE_ENVIRONMENT(why.empty(), why);
  const std::string host =
      "Ada's Gr\xC3\xBC\xC3\x9F"
      "e. #1;x";
  ASSERT_EQ(::unshare(CLONE_NEWUTS) || ::sethostname(host.data(), host.size()), 0);
  const std::string name = LinuxHostInfo().localizedName().value();  // /etc/machine-info first
  const std::vector<std::pair<std::string, std::string>> env{
      {"DBUS_SYSTEM_BUS_ADDRESS", std::getenv("DBUS_SYSTEM_BUS_ADDRESS")}};
  std::optional<AgentProcess> agent(std::in_place, AgentOptions{{}, env});
  std::unique_ptr<AgentProcess> listed;
  const auto list = [&] {
    return (listed = runRemote({{"list", "--timeout", "2"}, env}))->waitForExit(0ms);
  };
  ASSERT_TRUE(test::waitUntil([&] { return list() == 0; }, 30s)) << listed->errorText();
  EXPECT_THAT(
      listed->lines(),
      ::testing::ElementsAre(::testing::MatchesRegex(".*\ttrovik-ns\\.local\t[0-9a-f:.]+\t9876")));
  EXPECT_THAT(listed->lines()[0], StartsWith(name + "\t"));
  // Found by DNS-SD, it is reached: it answers that it may not type (no display here).
  for (const Texts& send : {Texts{"send", "SPACE"}, Texts{"send", "--to", name, "SPACE"}})
    EXPECT_EQ(runRemote({send, env})->waitForExit(0ms), 3);
  agent.reset();
  EXPECT_TRUE(test::waitUntil([&] { return list() == 1; }, 30s)) << listed->errorText();
  ASSERT_EQ(std::system("\"$TROVIK_AVAHI_CONTROL\" stop"), 0);
  EXPECT_EQ(list(), 2);
  EXPECT_THAT(listed->errorText(), StartsWith("trovik-remote: cannot reach avahi-daemon"));
}

}  // namespace trovik::e2e
