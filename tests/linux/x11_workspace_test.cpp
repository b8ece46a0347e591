// The application in front on a private X display without a window manager: the test sets
// the root's _NET_ACTIVE_WINDOW itself, as one would. (What tablets then hear: the table's
// editor row.)

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "platform/linux/desktop/x11_workspace.hpp"
#include "platform/linux/diagnostics.hpp"
#include "support/network_namespace.hpp"
#include "support/test_environment.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik {

// Authority entries {host, display, cookie} in the file's format; no host stands for any host.
static void writeAuthority(const std::string& file, std::vector<std::vector<std::string>> entries) {
  const auto field = [](const std::string& t) { return std::string{0, char(t.size())} + t; };
  std::ofstream out(file, std::ios::binary);
  for (const auto& e : entries)
    out << (e[0].empty() ? "\xff\xff" : std::string{1, 0}) << field(e[0]) << field(e[1])
        << field("MIT-MAGIC-COOKIE-1") << field(e[2]);
}

TEST(X11Workspace, FollowsTheApplicationInFrontThroughSwitchesBurstsAndServerRestarts) {
  // Its own abstract X sockets: no other test takes the display while the server is away.
  const std::string isolation = test::enterNetworkNamespace();
  TROVIK_REQUIRE_ENVIRONMENT(isolation.empty(), isolation);
  // The server takes one cookie; the workspace picks it from decoys for another display and
  // host.
  const test::TempFolder folder;
  const std::string cookies = folder.path + "/Xauthority", cookie = "0123456789abcdef";
  writeAuthority(cookies + "-server", {{"", "", cookie}});
  const std::vector<std::string> serverAuthority = {"-auth", cookies + "-server"};
  std::string error;
  auto server = testing::XvfbServer::start(error, {}, serverAuthority);
  TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string n = std::to_string(server->number());
  writeAuthority(cookies, {{host, n + "1", "decoy"}, {"elsewhere", n, "decoy"}, {host, n, cookie}});
  ::setenv("XAUTHORITY", cookies.c_str(), 1);
  auto windows = testing::XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(windows) << error;
  const std::string resolve = "com.blackmagic-design.DaVinciResolve";
  const auto resolveWindow = windows->make("Resolve"), resolveToo = windows->make("resolve");
  windows->activate(resolveWindow);

  ::testing::internal::CaptureStderr();
  AsioRunLoop loop;
  X11Workspace workspace(loop, server->display());
  EXPECT_EQ(workspace.frontmostApplication().value().bundleIdentifier, resolve);  // at launch
  test::Mailbox<std::string> fronts;
  workspace.addActivationObserver([&](const std::optional<RunningApplication>& app) {
    fronts.put(app ? app->bundleIdentifier.value_or("?") : "none");
  });
  std::thread running([&] { loop.run(); });
  const std::shared_ptr<void> stop(nullptr, [&](void*) { loop.stop(), running.join(); });
  const auto next = [&] { return fronts.take().value_or("(nothing)"); };

  windows->activate(windows->make("Text", "org.gnome.TextEditor"));
  EXPECT_EQ(next(), "org.gnome.TextEditor");
  windows->activate(resolveWindow);
  EXPECT_EQ(next(), resolve);
  // Another window of the same application, or the same window again, is no activation.
  for (int twice = 0; twice < 2; ++twice) windows->activate(resolveToo);
  windows->activate(XCB_NONE);
  EXPECT_EQ(next(), "none");
  windows->activate(windows->make("Gimp"));
  EXPECT_EQ(next(), "Gimp");
  // Destroyed in the same write as its activation: the window is found gone.
  const auto gone = windows->make("Short-lived");
  windows->activate(gone, false);
  windows->destroy(gone);
  EXPECT_EQ(next(), "none");

  // A burst, each change a round trip of its own so that some reach the workspace while it
  // reads a window: it reports only changes made, in order, and ends at the last.
  const xcb_window_t cycle[] = {windows->make("P", "com.adobe.premierepro"), windows->make("Gimp"),
                                windows->make("F", "com.apple.FinalCut")};
  const std::string names[] = {"com.adobe.premierepro", "Gimp", "com.apple.FinalCut"};
  std::vector<std::string> made;
  for (int i = 0; i < 999; ++i) windows->activate(cycle[i % 3]), made.push_back(names[i % 3]);
  windows->activate(resolveWindow);
  auto from = made.begin();
  for (auto front = next(); front != resolve; front = next()) {
    from = std::find(from, made.end(), front);
    ASSERT_NE(from, made.end()) << front << " is out of order";
    ++from;
  }

  // The server goes, and comes back on the same display.
  windows.reset();
  server->stop();
  EXPECT_EQ(next(), "none");
  server = testing::XvfbServer::start(error, server->number(), serverAuthority);
  ASSERT_TRUE(server && (windows = testing::XKeyRecorder::open(server->display(), error))) << error;
  windows->activate(windows->make("resolve"));
  EXPECT_EQ(next(), resolve);
  EXPECT_FALSE(fronts.take(std::chrono::milliseconds(0)));
  flushDiagnostics(std::chrono::steady_clock::now() + test::kPatience);
  const std::string said = ::testing::internal::GetCapturedStderr();  // the loss, said once
  EXPECT_NE(said.find("workspace: lost the connection"), std::string::npos) << said;
  EXPECT_EQ(said.find("workspace: "), said.rfind("workspace: ")) << said;
}

}  // namespace trovik
