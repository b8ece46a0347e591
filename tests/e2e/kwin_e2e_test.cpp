// The installed agent under a virtual KWin, run as the desktop's unprivileged user: KWin lends
// it its window list and fake input only because its desktop entry asks for them.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "e2e/agent_harness.hpp"
#include "support/private_bus.hpp"

namespace trovik::e2e {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(KWin, InstalledAgentFollowsTheWindowInFrontAndTypesThroughFakeInput) {
  TROVIK_REQUIRE_ISOLATION();
  const test::TempFolder root;
  const std::string run = root.path + "/run", agentHome = root.path + "/agent";
  fs::create_directories(root.path + "/kwin");
  fs::create_directory(run);
  fs::create_directory(agentHome);
  // Debian's kwin_wayland carries a file capability that a container refuses to execute: a
  // copy runs without it. The agent, as user 65534, must reach its program and its settings.
  const std::string copy =
      "cp \"$(command -v kwin_wayland)\" '" + root.path + "/kwin/' 2>/dev/null";
  TROVIK_REQUIRE_ENVIRONMENT(std::system(copy.c_str()) == 0 &&
                                 std::system("command -v dbus-send setpriv >/dev/null") == 0 &&
                                 ::chmod(root.path.c_str(), 0755) == 0 &&
                                 ::chown(agentHome.c_str(), 65534, 65534) == 0,
                             "needs kwin_wayland (kwin-wayland), dbus-send and setpriv, as root");
  // Installed as a user would, but for the system files outside the prefix.
  const std::string prefix = root.path + "/opt";
  const std::string install = "'" TROVIK_CMAKE "' --install '" TROVIK_BUILD_DIR "' --prefix '" +
                              prefix + "' --component Unspecified >/dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0) << install;

  std::string error;
  const auto bus = testing::PrivateBus::start(error);
  ASSERT_TRUE(bus) << error;
  test::Process kwin({{root.path + "/kwin/kwin_wayland", "--virtual", "--socket", "kwin",
                       "--no-lockscreen", "--no-global-shortcuts"},
                      {{"XDG_RUNTIME_DIR", run},
                       {"DBUS_SESSION_BUS_ADDRESS", bus->address()},
                       {"XDG_DATA_DIRS", prefix + "/share:/usr/share"},
                       {"XDG_CONFIG_HOME", root.path + "/config"},
                       {"XDG_CACHE_HOME", root.path + "/cache"}},
                      {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"}});
  const std::string socket = run + "/kwin";
  ASSERT_TRUE(test::waitUntil([&] { return fs::exists(socket); }, 20s)) << "KWin did not start";
  // Open to the agent's user once KWin, which wants its runtime folder private, has started.
  ASSERT_EQ(::chmod(run.c_str(), 0711) + ::chmod(socket.c_str(), 0777), 0);

  AgentProcess agent(
      {{"--reuid=65534", "--regid=65534", "--clear-groups", prefix + "/bin/trovik-helper"},
       {{"WAYLAND_DISPLAY", socket}, {"XDG_CONFIG_HOME", agentHome}},
       true,
       "setpriv"});
  ASSERT_TRUE(agent.waitForLine(kListening)) << agent.errorText();
  EXPECT_TRUE(test::waitUntil([&] {
    return agent.errorText().find(
               "trovik-helper: keyboard: typing through the compositor's "
               "virtual keyboard (kwin_wayland)\n") != std::string::npos;
  })) << agent.errorText();

  std::vector<std::unique_ptr<test::Process>> windows;
  const auto open = [&](const std::string& appId) {
    windows.push_back(std::make_unique<test::Process>(test::ProcessOptions{
        {TROVIK_TEST_WINDOW, appId}, {{"WAYLAND_DISPLAY", socket}}, {}, true}));
    return windows.back()->waitForLine("ready");
  };
  // Windows come in front as they open: Resolve once, its second window no activation.
  ASSERT_TRUE(open("org.example.other") && open("resolve") &&
              open("Com.BlackmagicDesign.Resolve.desktop"));
  ASSERT_TRUE(agent.waitForLine("Trovik: App activated: com.blackmagic-design.DaVinciResolve"))
      << agent.errorText();
  UdpPeer tablet, state("127.0.0.1", kStatePort);
  const std::string active = "app:active:com.blackmagic-design.davinci-resolve";
  const auto opening = greet(tablet, state);
  for (const auto& heard : {std::string("ax:granted"), active})
    EXPECT_NE(std::ranges::find(opening, heard), opening.end()) << heard;

  // KWin has no command line for focus: a script of its own activates windows, by process.
  int scripts = 0;
  const auto activate = [&](const std::vector<std::size_t>& order) {
    const std::string file = root.path + "/focus" + std::to_string(++scripts) + ".js";
    std::ofstream script(file);
    script << "const all = workspace.clientList();\n"
              "for (const pid of [";
    for (const auto window : order) script << windows[window]->pid() << ",";
    script << "]) for (let i = 0; i < all.length; ++i)\n"
              "  if (all[i].pid == pid) workspace.activeClient = all[i];\n";
    script.close();
    const std::string send = "DBUS_SESSION_BUS_ADDRESS='" + bus->address() +
                             "' dbus-send --session --print-reply --dest=org.kde.KWin /Scripting "
                             "org.kde.kwin.Scripting.";
    return std::system((send + "loadScript string:" + file + " string:focus" +
                        std::to_string(scripts) + " >/dev/null && " + send + "start >/dev/null")
                           .c_str()) == 0;
  };
  const auto next = [&](std::chrono::milliseconds wait = 5s) {
    return nextHeard(state, "app:", wait);
  };
  ASSERT_TRUE(activate({0}));
  EXPECT_EQ(next(), "app:inactive");
  ASSERT_TRUE(activate({1}));
  EXPECT_EQ(next(), active);
  // 1,000 switches between Resolve's two windows: no moment of nothing in front is heard.
  // Then, from another application, 1,000 between it and Resolve, ending in Resolve.
  std::vector<std::size_t> burst;
  for (int i = 0; i < 500; ++i) burst.insert(burst.end(), {2, 1});
  ASSERT_TRUE(activate(burst));
  EXPECT_EQ(next(1s), "(nothing)") << "a moment of nothing in front was heard";
  ASSERT_TRUE(activate({0}));
  EXPECT_EQ(next(), "app:inactive");
  std::ranges::replace(burst, 2, 0);
  ASSERT_TRUE(activate(burst));
  std::string last;
  for (std::string heard; (heard = next(1s)) != "(nothing)";) last = heard;
  EXPECT_EQ(last, active);

  ASSERT_TRUE(activate({0}));
  EXPECT_EQ(next(), "app:inactive");
  tablet.sendTo("SPACE", kCommandPort);
  tablet.sendTo("shift+a", kCommandPort);
  for (const char* line : kSpaceThenShiftA) EXPECT_TRUE(windows[0]->waitForLine(line)) << line;
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(1s), 0) << agent.errorText();
}

}  // namespace trovik::e2e
