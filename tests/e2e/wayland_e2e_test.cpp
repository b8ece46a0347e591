// The built agent on a headless sway, run as the desktop's own unprivileged user: no uinput
// it may use and no X display, so keys go through the compositor's virtual keyboard and the
// window in front comes from the compositor's window list.

#include <algorithm>

#include "e2e/agent_harness.hpp"
#include "support/sway_session.hpp"

namespace trovik::e2e {

using namespace std::chrono_literals;

TEST(Sway, FollowsTheWindowInFrontAndTypesIntoItAcrossACompositorRestart) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  auto sway = testing::SwaySession::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(sway, error);
  // As the desktop's user, for whom no uinput rule was installed.
  AgentProcess agent(
      {{"--reuid=65534", "--regid=65534", "--clear-groups", TROVIK_HELPER_PATH},
       {{"WAYLAND_DISPLAY", sway->socket()}, {"XDG_CONFIG_HOME", sway->path + "/agent"}},
       true,
       "setpriv"});
  ASSERT_TRUE(agent.waitForLine(kListening)) << agent.errorText();
  EXPECT_TRUE(test::waitUntil([&] {
    return agent.errorText().find(
               "trovik-helper: keyboard: typing through the compositor's "
               "virtual keyboard (sway)\n") != std::string::npos;
  })) << agent.errorText();

  std::vector<std::unique_ptr<test::Process>> windows;
  const auto open = [&](const std::string& appId) {
    windows.push_back(std::make_unique<test::Process>(test::ProcessOptions{
        {TROVIK_TEST_WINDOW, appId}, {{"WAYLAND_DISPLAY", sway->socket()}}, {}, true}));
    return windows.back()->waitForLine("ready");
  };
  const std::string other = "org.example.other", resolve = "resolve";
  const std::string resolveToo = "Com.BlackmagicDesign.Resolve.desktop";
  // Each new window comes in front: Resolve once, its second window no activation.
  ASSERT_TRUE(open(other) && open(resolve) && open(resolveToo));
  ASSERT_TRUE(agent.waitForLine("Trovik: App activated: com.blackmagic-design.DaVinciResolve"));
  UdpPeer tablet, state("127.0.0.1", kStatePort);
  const std::string active = "app:active:com.blackmagic-design.davinci-resolve";
  const auto opening = greet(tablet, state);
  for (const auto& heard : {std::string("ax:granted"), active})
    EXPECT_NE(std::ranges::find(opening, heard), opening.end()) << heard;
  const auto next = [&](std::string_view prefix = "app:", std::chrono::milliseconds wait = 5s) {
    return nextHeard(state, prefix, wait);
  };
  const auto focus = [](const std::string& appId) { return "[app_id=\"" + appId + "\"] focus"; };

  ASSERT_TRUE(sway->command(focus(other)));
  EXPECT_EQ(next(), "app:inactive");
  ASSERT_TRUE(sway->command(focus(resolve)));
  EXPECT_EQ(next(), active);

  // 1,000 switches between two windows of Resolve, each a command of its own: focus leaves
  // one window before it reaches the next, and a moment of nothing in front would be heard.
  // Then 1,000 between Resolve and another application, ending in Resolve.
  for (const auto& [a, b] : {std::pair{resolveToo, resolve}, std::pair{other, resolve}}) {
    std::vector<std::string> burst;
    for (int i = 0; i < 500; ++i) burst.insert(burst.end(), {focus(a), focus(b)});
    ASSERT_TRUE(sway->command(burst));
    if (a == resolveToo) {
      EXPECT_EQ(next("app:", 1s), "(nothing)") << "a moment of nothing in front was heard";
      ASSERT_TRUE(sway->command(focus(other)));
      EXPECT_EQ(next(), "app:inactive");
      ASSERT_TRUE(sway->command(focus(resolve)));
      EXPECT_EQ(next(), active);
    }
  }
  std::string last;
  for (std::string heard; (heard = next("app:", 1s)) != "(nothing)";) last = heard;
  EXPECT_EQ(last, active);

  ASSERT_TRUE(sway->command(focus(other)));
  EXPECT_EQ(next(), "app:inactive");
  tablet.sendTo("SPACE", kCommandPort);
  tablet.sendTo("shift+a", kCommandPort);
  for (const char* line : kSpaceThenShiftA) {
    EXPECT_TRUE(windows[0]->waitForLine(line)) << line;
  }

  sway->stop();
  windows.clear();  // they end with their compositor
  EXPECT_EQ(next("ax:", 10s), "ax:denied");
  ASSERT_TRUE(sway->launch(error)) << error;
  EXPECT_EQ(next("ax:", 10s), "ax:granted");
  ASSERT_TRUE(open(resolve));
  EXPECT_EQ(next("app:", 10s), active) << agent.errorText();
  tablet.sendTo("SPACE", kCommandPort);
  EXPECT_TRUE(windows[0]->waitForLine("key 57 1 0"));
  windows.clear();  // closed while in front, and no other window: nothing is in front
  EXPECT_EQ(next(), "app:inactive");
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(1s), 0) << agent.errorText();
}

}  // namespace trovik::e2e
