// The built agent on a headless sway, run as the desktop's own unprivileged user: no uinput
// it may use and no X display, so keys go through the compositor's virtual keyboard and the
// window in front comes from the compositor's window list.

#include "e2e/wayland_desktop.hpp"
#include "support/sway_session.hpp"

namespace trovik::e2e {

using namespace std::chrono_literals;

TEST(Sway, FollowsTheWindowInFrontAndTypesIntoItAcrossACompositorRestart) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  auto sway = testing::SwaySession::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(sway, error);
  WaylandDesktop desktop(sway->socket(), TROVIK_HELPER_PATH, sway->path + "/agent");
  ASSERT_NO_FATAL_FAILURE(desktop.expectTypingThrough("sway"));
  ASSERT_NO_FATAL_FAILURE(desktop.openWindowsAndGreet());
  AgentProcess& agent = desktop.agent;
  auto& windows = desktop.windows;
  const std::string other = "org.example.other", resolve = "resolve", &active = kResolveActive;
  const std::string resolveToo = "Com.BlackmagicDesign.Resolve.desktop";
  const auto focus = [](const std::string& appId) { return "[app_id=\"" + appId + "\"] focus"; };

  // 1,000 switches between two windows of Resolve, the last one opened, each a command of its
  // own: focus leaves one window before it reaches the next, and a moment of nothing in front
  // would be heard. Then 1,000 between Resolve and another application, ending in Resolve.
  for (const auto& [a, b] : {std::pair{resolveToo, resolve}, std::pair{other, resolve}}) {
    std::vector<std::string> burst;
    for (int i = 0; i < 500; ++i) burst.insert(burst.end(), {focus(a), focus(b)});
    ASSERT_TRUE(sway->command(burst));
    if (a == resolveToo) {
      EXPECT_EQ(desktop.next("app:", 1s), "(nothing)") << "a moment of nothing in front was heard";
      ASSERT_TRUE(sway->command(focus(other)));
      EXPECT_EQ(desktop.next(), "app:inactive");
      ASSERT_TRUE(sway->command(focus(resolve)));
      EXPECT_EQ(desktop.next(), active);
    }
  }
  std::string last;
  for (std::string heard; (heard = desktop.next("app:", 1s)) != "(nothing)";) last = heard;
  EXPECT_EQ(last, active);

  ASSERT_TRUE(sway->command(focus(other)));
  EXPECT_EQ(desktop.next(), "app:inactive");
  desktop.expectTyped(0);

  sway->stop();
  windows.clear();  // they end with their compositor
  EXPECT_EQ(desktop.next("ax:", 10s), "ax:denied");
  ASSERT_TRUE(sway->launch(error)) << error;
  EXPECT_EQ(desktop.next("ax:", 10s), "ax:granted");
  ASSERT_TRUE(desktop.open(resolve));
  EXPECT_EQ(desktop.next("app:", 10s), active) << agent.errorText();
  desktop.tablet.sendTo("SPACE", kCommandPort);
  EXPECT_TRUE(windows[0]->waitForLine("key 57 1 0"));
  windows.clear();  // closed while in front, and no other window: nothing is in front
  EXPECT_EQ(desktop.next(), "app:inactive");
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(1s), 0) << agent.errorText();
}

}  // namespace trovik::e2e
