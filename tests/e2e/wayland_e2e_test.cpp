// The built agent on a headless sway, run as the desktop's own unprivileged user: no uinput
// it may use and no X display, so keys go through the compositor's virtual keyboard and the
// window in front comes from the compositor's window list.

#include <unistd.h>

#include <fstream>

#include "e2e/wayland_desktop.hpp"
#include "support/sway_session.hpp"
#include "support/x_key_recorder.hpp"

namespace trovik::e2e {

using namespace std::chrono_literals;

TEST(Sway, FollowsTheWindowInFrontAndTypesIntoItAcrossACompositorRestart) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  auto sway = testing::SwaySession::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(sway, error);
  sway->pause(true);  // busy as the agent starts: it is waited for, not given up on
  WaylandDesktop desktop(sway->socket(), TROVIK_HELPER_PATH, sway->path + "/agent");
  AgentProcess& agent = desktop.agent;
  EXPECT_TRUE(test::waitUntil(
      [&] { return agent.errorText().find("waiting for it") != std::string::npos; }));
  sway->pause(false);
  ASSERT_NO_FATAL_FAILURE(desktop.expectTypingThrough("sway"));
  ASSERT_NO_FATAL_FAILURE(desktop.openWindowsAndGreet());
  auto& windows = desktop.windows;
  const std::string other = "org.example.other", resolve = "resolve", &active = kResolveActive;
  const std::string resolveToo = "Com.BlackmagicDesign.Resolve.desktop";
  const auto focus = [](const std::string& appId) { return "[app_id=\"" + appId + "\"] focus"; };

  // 1,000 switches between two windows of Resolve, the last one opened, each a command of its
  // own: focus leaves one window before it reaches the next, and a moment of nothing in front
  // would be heard. Then 1,000 between Resolve and another application, ending in Resolve.
  // Paced by the windows: sway drops one that falls far behind (libwayland-server 1.21).
  for (const auto& [a, b] : {std::pair{resolveToo, resolve}, std::pair{other, resolve}}) {
    for (int chunk = 0; chunk < 20; ++chunk) {
      std::vector<std::string> burst;
      for (int i = 0; i < 25; ++i) burst.insert(burst.end(), {focus(a), focus(b)});
      ASSERT_TRUE(sway->command(burst));
      for (std::size_t window : {a == other ? 0u : 2u, 1u}) {
        // The burst's first command focuses the window already in front.
        for (int i = window == 2 && chunk == 0; i < 25; ++i)
          ASSERT_TRUE(windows[window]->waitForLine("enter")) << chunk;
      }
    }
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

// Whether a window manager (sway's, on Xwayland) runs on `display`: a window mapped before it
// does is never managed.
bool windowManagerRuns(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, 24, "_NET_SUPPORTING_WM_CHECK"), 0);
  auto* value = xcb_get_property_reply(
      c, xcb_get_property(c, 0, root, atom ? atom->atom : 0, XCB_ATOM_WINDOW, 0, 1), nullptr);
  const bool runs = value && value->value_len > 0;
  for (void* reply : {static_cast<void*>(atom), static_cast<void*>(value)}) std::free(reply);
  xcb_disconnect(c);
  return runs;
}

// An X11 window under Xwayland is seen in front and typed into, through the compositor.
TEST(Sway, SeesAndTypesIntoAnX11WindowUnderXwayland) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  auto sway = testing::SwaySession::start(error, "xwayland enable\n");
  TROVIK_REQUIRE_ENVIRONMENT(sway, error);
  // Sway names its X display only to the programs it starts.
  const std::string named = sway->path + "/display";
  ASSERT_TRUE(test::waitUntil([&] { return sway->command("exec echo $DISPLAY >" + named); }));
  std::string display;
  ASSERT_TRUE(test::waitUntil([&] { return bool(std::ifstream(named) >> display); }));
  WaylandDesktop desktop(sway->socket(), TROVIK_HELPER_PATH, sway->path + "/agent", {}, display);
  ASSERT_NO_FATAL_FAILURE(desktop.expectTypingThrough("sway"));
  // Xwayland lets in only its own user.
  ASSERT_EQ(::seteuid(65534), 0);
  EXPECT_TRUE(test::waitUntil([&] { return windowManagerRuns(display); }));
  auto window = testing::XKeyRecorder::open(display, error, "resolve");
  ASSERT_EQ(::seteuid(0), 0);
  ASSERT_TRUE(window) << error;
  // Sway shows it once Xwayland has drawn it; only then may another window open in front.
  ASSERT_TRUE(test::waitUntil([&] { return sway->command("[class=\"resolve\"] focus"); }));
  // Then a Wayland window in front, and back to the X11 one.
  ASSERT_TRUE(desktop.open("org.example.other"));
  ASSERT_TRUE(desktop.agent.waitForLine("Trovik: App activated: org.example.other"))
      << desktop.agent.errorText();
  EXPECT_EQ(std::ranges::count(greet(desktop.tablet, desktop.state), "app:inactive"), 1);
  ASSERT_TRUE(sway->command("[class=\"resolve\"] focus"));
  EXPECT_EQ(desktop.next(), kResolveActive);
  // Sway gives the window the X focus on a connection of its own, which may come later.
  EXPECT_TRUE(test::waitUntil([&] { return window->focused(); }));
  desktop.tablet.sendTo("SPACE", kCommandPort);
  desktop.tablet.sendTo("shift+a", kCommandPort);
  std::vector<testing::SeenKey> expected;
  testing::addPress(expected, 65);
  testing::addPress(expected, 38, true);
  EXPECT_EQ(window->take(expected.size(), 5s), expected);
  ASSERT_TRUE(sway->command("[app_id=\"org.example.other\"] focus"));
  EXPECT_EQ(desktop.next(), "app:inactive");
}

}  // namespace trovik::e2e
