// The built agent following the application in front on a private X display without a
// window manager: the test sets the root's _NET_ACTIVE_WINDOW itself, as one would.

#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/agent_harness.hpp"
#include "support/x_windows.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {
namespace {

using Texts = std::vector<std::string>;

TEST(Workspace, TheApplicationInFrontIsFollowedThroughSwitchesBurstsAndServerRestarts) {
  TROVIK_REQUIRE_ISOLATION();
  std::string error;
  auto server = testing::XvfbServer::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(server != nullptr, "needs Xvfb: " + error);
  auto windows = testing::XWindows::open(server->display(), error);
  ASSERT_TRUE(windows) << error;
  const std::string kResolve = "com.blackmagic-design.DaVinciResolve";
  const std::string kActivated = "Trovik: App activated: ";
  const Texts noEditor = {"fcp:inactive", "app:inactive"};
  const Texts resolvePair = {"fcp:inactive", "app:active:com.blackmagic-design.davinci-resolve"};
  Texts made;   // the applications made active, in order
  Texts heard;  // by the tablet, after its opening sequence
  UdpPeer state("::", kStatePort);
  // The editor's messages; keyboard access comes and goes with the X server too.
  const auto editorState = [&](std::chrono::milliseconds patience) {
    auto datagram = state.receive(patience);
    while (datagram && datagram->starts_with("ax:")) datagram = state.receive(patience);
    return datagram;
  };
  const auto hear = [&](const Texts& expected) {
    for (const auto& text : expected) {
      heard.push_back(editorState(kPatience).value_or("(nothing)"));
      EXPECT_EQ(heard.back(), text);
    }
  };
  std::optional<AgentProcess> agent;
  // The next activation the agent logs is `app`, and then tablets hear `pair`.
  const auto activate = [&](xcb_window_t window, const std::string& app, const Texts& pair) {
    windows->activate(window);
    made.push_back(app);
    EXPECT_EQ(agent->waitForLineStartingWith(kActivated), kActivated + app);
    hear(pair);
  };

  const auto resolve = windows->make("Resolve");
  const auto resolveToo = windows->make("resolve");
  windows->activate(resolve);
  agent.emplace(AgentOptions{{}, {{"DISPLAY", server->display()}}});
  EXPECT_TRUE(
      agent->waitForLine("Trovik: observeFrontmostApp installed, initial editor: "
                         "com.blackmagic-design.davinci-resolve"));
  UdpPeer().sendTo("hello", kCommandPort);
  for (const auto& text : {resolvePair[0], resolvePair[1], std::string("ax:granted")}) {
    EXPECT_EQ(state.receive(kPatience), text);
  }
  activate(windows->make("Text", "org.gnome.TextEditor"), "org.gnome.TextEditor", noEditor);
  activate(resolve, kResolve, resolvePair);
  // Another window of the same application, or the same window again, is no activation:
  // the next one logged is "no window", and tablets hear nothing before it.
  windows->activate(resolveToo);
  windows->activate(resolveToo);
  activate(XCB_NONE, "unknown", noEditor);
  activate(windows->make("Gimp"), "Gimp", {});
  // Destroyed in the same write as its activation: the agent finds the window gone.
  const auto gone = windows->make("Short-lived");
  windows->activate(gone, false);
  windows->destroy(gone);
  made.push_back("unknown");
  EXPECT_EQ(agent->waitForLineStartingWith(kActivated), kActivated + "unknown");

  // A burst, each change a round trip of its own so that some reach the agent while it
  // reads a window. Tablet and log are read afterwards, so both get room meanwhile.
  const xcb_window_t cycle[] = {windows->make("P", "com.adobe.premierepro"), windows->make("Gimp"),
                                windows->make("F", "com.apple.FinalCut")};
  const std::string names[] = {"com.adobe.premierepro", "Gimp", "com.apple.FinalCut"};
  const int room = 16 << 20;
  ::setsockopt(state.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  for (int i = 0; i < 999; ++i) {
    windows->activate(cycle[i % 3]);
    made.push_back(names[i % 3]);
    if (i % 100 == 0) agent->nextLine(std::chrono::milliseconds(0));
  }
  windows->activate(resolve);
  made.push_back(kResolve);
  while (heard.back() != resolvePair[1]) {
    const auto datagram = editorState(kPatience);
    ASSERT_TRUE(datagram) << "the agent stalled after " << heard.size() << " datagrams";
    heard.push_back(*datagram);
  }

  // The server goes and comes back on the same display.
  const int display = server->number();
  windows.reset();
  server->stop();
  made.push_back("unknown");
  EXPECT_TRUE(agent->waitForLine(kActivated + "unknown"));
  hear(noEditor);
  server = testing::XvfbServer::start(error, display);
  ASSERT_TRUE(server) << error;
  windows = testing::XWindows::open(server->display(), error);
  ASSERT_TRUE(windows) << error;
  activate(windows->make("resolve"), kResolve, resolvePair);
  agent->signal(SIGTERM);
  EXPECT_EQ(agent->waitForExit(), 0) << agent->errorText();

  // Each activation logged was made, after the one logged before it, and tablets heard the
  // pairs of the editor changes logged, in the same order.
  Texts pairs;
  auto next = made.begin();
  for (const auto& line : agent->lines()) {
    const std::string changed = "Trovik: editor changed \u2192 ";
    if (line.starts_with(kActivated)) {
      next = std::find(next, made.end(), line.substr(kActivated.size()));
      ASSERT_NE(next++, made.end()) << line << " is out of order";
    } else if (line.starts_with(changed)) {
      const std::string editor = line.substr(changed.size(), line.find(',') - changed.size());
      pairs.push_back(editor == "com.apple.FinalCut" ? "fcp:active" : "fcp:inactive");
      pairs.push_back(editor == "none" ? "app:inactive" : "app:active:" + editor);
    }
  }
  EXPECT_EQ(heard, pairs);
  EXPECT_FALSE(editorState(std::chrono::milliseconds(0)));
  const std::string errors = agent->errorText();  // the server's going, said once
  const auto said = errors.find("trovik-helper: workspace: lost the connection");
  EXPECT_NE(said, errors.npos) << errors;
  EXPECT_EQ(errors.find("trovik-helper: workspace: ", said + 1), errors.npos) << errors;
}

}  // namespace
}  // namespace trovik::e2e
