// The built agent following the application in front on a private X display without a
// window manager: the test sets the root's _NET_ACTIVE_WINDOW itself, as one would.

#include <algorithm>
#include <fstream>

#include "e2e/agent_harness.hpp"
#include "support/x_windows.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {
namespace {

using Texts = std::vector<std::string>;

// Authority entries {host, display, cookie} in the file's format; no host stands for any host.
void writeAuthority(const std::string& file, std::vector<std::vector<std::string>> entries) {
  const auto field = [](const std::string& t) { return std::string{0, char(t.size())} + t; };
  std::ofstream out(file, std::ios::binary);
  for (const auto& e : entries)
    out << (e[0].empty() ? "\xff\xff" : std::string{1, 0}) << field(e[0]) << field(e[1])
        << field("MIT-MAGIC-COOKIE-1") << field(e[2]);
}

TEST(Workspace, TheApplicationInFrontIsFollowedThroughSwitchesBurstsAndServerRestarts) {
  TROVIK_REQUIRE_ISOLATION();
  // The server takes one cookie; the agent picks it from decoys for another display and host.
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
  auto windows = testing::XWindows::open(server->display(), error);
  ASSERT_TRUE(windows) << error;
  const std::string resolveId = "com.blackmagic-design.DaVinciResolve";
  const std::string activated = "Trovik: App activated: ",
                    changed = "Trovik: editor changed \u2192 ";
  const Texts none = {"fcp:inactive", "app:inactive"};
  const Texts resolve = {"fcp:inactive", "app:active:com.blackmagic-design.davinci-resolve"};
  Texts made, heard;  // the applications made active; the editor messages tablets heard
  UdpPeer state("::", kStatePort);
  const auto editorState = [&] {  // keyboard access comes and goes with the X server too
    auto datagram = state.receive(kPatience);
    while (datagram && datagram->starts_with("ax:")) datagram = state.receive(kPatience);
    return datagram.value_or("(nothing)");
  };
  const auto resolveWindow = windows->make("Resolve"), resolveToo = windows->make("resolve");
  windows->activate(resolveWindow);
  AgentProcess agent({{}, {{"DISPLAY", server->display()}}});
  EXPECT_TRUE(
      agent.waitForLine("Trovik: observeFrontmostApp installed, initial editor: "
                        "com.blackmagic-design.davinci-resolve"));
  UdpPeer().sendTo("hello", kCommandPort);
  for (const auto& text : resolve) EXPECT_EQ(editorState(), text);
  // After `window` is made active (none given: the change comes from elsewhere), the agent
  // logs `app`, and no other application before it (the end checks), then tablets hear `pair`.
  const auto activate = [&](std::optional<xcb_window_t> window, const std::string& app,
                            const Texts& pair) {
    if (window) windows->activate(*window);
    made.push_back(app);
    EXPECT_TRUE(agent.waitForLine(activated + app)) << app;
    for (const auto& text : pair) EXPECT_EQ(heard.emplace_back(editorState()), text);
  };

  activate(windows->make("Text", "org.gnome.TextEditor"), "org.gnome.TextEditor", none);
  activate(resolveWindow, resolveId, resolve);
  // Another window of the same application, or the same window again, is no activation.
  for (int twice = 0; twice < 2; ++twice) windows->activate(resolveToo);
  activate(XCB_NONE, "unknown", none);
  activate(windows->make("Gimp"), "Gimp", {});
  // Destroyed in the same write as its activation: the agent finds the window gone.
  const auto gone = windows->make("Short-lived");
  windows->activate(gone, false);
  windows->destroy(gone);
  activate({}, "unknown", {});

  // A burst, each change a round trip of its own so that some reach the agent while it reads
  // a window. Tablet and log are read afterwards, so both get room meanwhile.
  const xcb_window_t cycle[] = {windows->make("P", "com.adobe.premierepro"), windows->make("Gimp"),
                                windows->make("F", "com.apple.FinalCut")};
  const std::string names[] = {"com.adobe.premierepro", "Gimp", "com.apple.FinalCut"};
  const int room = 16 << 20;
  ::setsockopt(state.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  for (int i = 0; i < 999; ++i) {
    windows->activate(cycle[i % 3]);
    made.push_back(names[i % 3]);
    if (i % 100 == 0) agent.nextLine(std::chrono::milliseconds(0));
  }
  activate(resolveWindow, resolveId, {});
  while (heard.back() != resolve[1] && heard.back() != "(nothing)") heard.push_back(editorState());

  // The server goes, and comes back on the same display.
  windows.reset();
  server->stop();
  activate({}, "unknown", none);
  server = testing::XvfbServer::start(error, server->number(), serverAuthority);
  ASSERT_TRUE(server && (windows = testing::XWindows::open(server->display(), error))) << error;
  activate(windows->make("resolve"), resolveId, resolve);
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(), 0) << agent.errorText();

  // Each activation logged was made, after the one logged before it, and tablets heard the
  // pairs of the editor changes logged, in the same order.
  Texts pairs;
  auto next = made.begin();
  for (const auto& line : agent.lines()) {
    if (line.starts_with(activated)) {
      next = std::find(next, made.end(), line.substr(activated.size()));
      ASSERT_NE(next++, made.end()) << line << " is out of order";
    } else if (line.starts_with(changed)) {
      const std::string editor = line.substr(changed.size(), line.find(',') - changed.size());
      pairs.push_back(editor == "com.apple.FinalCut" ? "fcp:active" : "fcp:inactive");
      pairs.push_back(editor == "none" ? "app:inactive" : "app:active:" + editor);
    }
  }
  EXPECT_EQ(heard, pairs);
  EXPECT_FALSE(state.receive(std::chrono::milliseconds(0)));
  const std::string errors = agent.errorText();  // the server's going, said once
  EXPECT_NE(errors.find("workspace: "), errors.npos) << errors;
  EXPECT_EQ(errors.find("workspace: lost the connection"), errors.rfind("workspace: ")) << errors;
}

}  // namespace
}  // namespace trovik::e2e
