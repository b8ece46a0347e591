// The installed agent under a virtual KWin, run as the desktop's unprivileged user: KWin lends
// it its window list and fake input only because its desktop entry asks for them.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "e2e/wayland_desktop.hpp"
#include "support/private_bus.hpp"

namespace trovik::e2e {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(KWin, FollowsTheWindowInFrontInstalledOrNotAndTypesThroughFakeInputOnceInstalled) {
  TROVIK_REQUIRE_ISOLATION();
  const test::TempFolder root;
  const std::string& home = root.path;
  const std::string run = home + "/run", prefix = home + "/opt", socket = run + "/kwin";
  // Debian's kwin_wayland carries a file capability that a container refuses to execute: a
  // copy runs without it. The agent, as user 65534, must reach its program and its settings.
  const std::string setUp = "mkdir -m 700 " + run + " && mkdir " + home + "/agent && chown 65534 " +
                            home + "/agent && chmod 755 " + home +
                            " && command -v dbus-send setpriv >/dev/null && cp \"$(command -v "
                            "kwin_wayland)\" " +
                            home + " 2>/dev/null";
  TROVIK_REQUIRE_ENVIRONMENT(std::system(setUp.c_str()) == 0,
                             "needs kwin_wayland (kwin-wayland), dbus-send and setpriv, as root");
  // Installed as a user would, but for the system files outside the prefix.
  const std::string install = "'" TROVIK_CMAKE "' --install '" TROVIK_BUILD_DIR "' --prefix " +
                              prefix + " --component Unspecified >/dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0) << install;
  std::string error;
  const auto bus = testing::PrivateBus::start(error);
  ASSERT_TRUE(bus) << error;
  test::Process kwin({{home + "/kwin_wayland", "--virtual", "--socket", "kwin", "--no-lockscreen",
                       "--no-global-shortcuts"},
                      {{"XDG_RUNTIME_DIR", run},
                       {"HOME", home},  // its settings and its cache of desktop entries
                       {"DBUS_SESSION_BUS_ADDRESS", bus->address()},
                       {"XDG_DATA_DIRS", prefix + "/share:/usr/share"}},
                      {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY", "XDG_CONFIG_HOME"}});
  ASSERT_TRUE(test::waitUntil([&] { return fs::exists(socket); }, 20s)) << "KWin did not start";
  // Open to the agent's user once KWin, which wants its runtime folder private, has started.
  ASSERT_EQ(::chmod(run.c_str(), 0711) + ::chmod(socket.c_str(), 0777), 0);

  std::optional<WaylandDesktop> desktop;
  desktop.emplace(socket, prefix + "/bin/trovik-helper", home + "/agent");
  ASSERT_NO_FATAL_FAILURE(desktop->expectTypingThrough("kwin_wayland"));
  ASSERT_NO_FATAL_FAILURE(desktop->openWindowsAndGreet());

  const std::string onBus = "DBUS_SESSION_BUS_ADDRESS='" + bus->address() + "' ";
  const std::string scripting =
      onBus +
      "dbus-send --session --print-reply --dest=org.kde.KWin /Scripting org.kde.kwin.Scripting";
  // KWin has no command line for focus: a script of its own activates the windows, by process,
  // in turn, `times` times over.
  int scripts = 0;
  const auto activate = [&](std::initializer_list<std::size_t> order, int times = 1) {
    const std::string name = "focus" + std::to_string(++scripts), file = home + "/" + name;
    std::ofstream script(file);
    script << "const all = workspace.clientList();\nfor (let n = 0; n < " << times
           << "; ++n) for (const pid of [";
    for (const auto window : order) script << desktop->windows[window]->pid() << ",";
    script << "]) for (const c of all) if (c.pid == pid) workspace.activeClient = c;\n";
    script.close();
    const std::string send = scripting + ".";
    return std::system((send + "loadScript string:" + file + " string:" + name + " >/dev/null && " +
                        send + "start >/dev/null")
                           .c_str()) == 0;
  };
  ASSERT_TRUE(activate({0}));
  EXPECT_EQ(desktop->next(), "app:inactive");
  ASSERT_TRUE(activate({1}));
  EXPECT_EQ(desktop->next(), kResolveActive);
  // 1,000 switches between Resolve's two windows: no moment of nothing in front is heard.
  // (How bursts between applications end is the sway test's: the decision is the same.)
  ASSERT_TRUE(activate({2, 1}, 500));
  EXPECT_EQ(desktop->next("app:", 1s), "(nothing)") << "a moment of nothing in front was heard";
  ASSERT_TRUE(activate({0}));
  EXPECT_EQ(desktop->next(), "app:inactive");
  desktop->expectTyped(0);
  desktop->agent.signal(SIGTERM);
  EXPECT_EQ(desktop->agent.waitForExit(1s), 0) << desktop->agent.errorText();

  // A copy from the build tree gets neither from KWin: a script it loads into KWin says which
  // window is in front instead, and is unloaded when the agent ends.
  auto windows = std::move(desktop->windows);
  desktop.reset();
  desktop.emplace(socket, TROVIK_HELPER_PATH, home + "/agent", bus->address());
  desktop->windows = std::move(windows);
  AgentProcess& built = desktop->agent;
  ASSERT_TRUE(built.waitForLine(kListening)) << built.errorText();
  EXPECT_EQ(std::ranges::count(greet(desktop->tablet, desktop->state), "app:inactive"), 1);
  ASSERT_TRUE(activate({1}));
  EXPECT_EQ(desktop->next(), kResolveActive) << built.errorText();
  ASSERT_TRUE(activate({2, 1}, 100));
  EXPECT_EQ(desktop->next("app:", 1s), "(nothing)") << "a moment of nothing in front was heard";
  ASSERT_TRUE(activate({0}));
  EXPECT_EQ(desktop->next(), "app:inactive");
  for (const char* line : {"wayland: kwin_wayland offers no virtual keyboard and no window list: "
                           "keys need the uinput rule (see \"Granting keyboard access\" in the "
                           "README), unless the agent is installed\n",
                           "workspace: the application in front comes from a script loaded into "
                           "kwin_wayland\n"})
    EXPECT_NE(built.errorText().find(line), std::string::npos) << line;
  // Only KWin says which window is in front: a call from anyone else is refused.
  const std::string pid = std::to_string(built.pid()),
                    forge = "for n in $(" + onBus + "busctl --user list | awk '$2 == " + pid +
                            " {print $1}'); do " + onBus +
                            "busctl --user call $n /io/trovik/Helper/"
                            "KWinScript io.trovik.Helper.KWinScript WindowActivated ss resolve "
                            "resolve && exit 0; done 2>/dev/null; exit 1";
  EXPECT_NE(std::system(forge.c_str()), 0);
  EXPECT_EQ(desktop->next("app:", 1s), "(nothing)");
  built.signal(SIGTERM);
  EXPECT_EQ(built.waitForExit(1s), 0) << built.errorText();
  const std::string loaded =
      scripting + ".isScriptLoaded string:trovik-helper-" + pid + " | grep -q 'boolean false'";
  EXPECT_EQ(std::system(loaded.c_str()), 0) << "the script is still loaded";
}

}  // namespace trovik::e2e
