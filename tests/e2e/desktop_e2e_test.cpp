// The built agent on a desktop: in a real tray (xfce4-panel's status tray on a private X
// server and a private session bus, read as the rest of the desktop would), and installed as a
// user installs it.

#include <gmock/gmock.h>

#include "e2e/agent_harness.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "support/desktop_bus.hpp"
#include "support/private_bus.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The agent starts before any tray, then a tray shows its icon, draws its menu, goes away and
// comes back, while a tablet is served throughout; the menu follows keyboard access and quits.
TEST(Tray, TheIconAndItsMenuComeWithEveryTrayWhileTabletsAreServed) {
  TROVIK_REQUIRE_ISOLATION();
  TROVIK_REQUIRE_ENVIRONMENT(
      std::system("command -v xfce4-panel gdbus dbus-monitor xdotool import >/dev/null") == 0,
      "needs xfce4-panel, gdbus, dbus-monitor, xdotool and ImageMagick (scripts/install-deps)");
  std::string error;
  auto screen =
      testing::XvfbServer::start(error, {}, {"-screen", "0", "480x320x24"});  // the tray's
  auto keys = screen ? testing::XvfbServer::start(error) : nullptr;  // the agent types into it
  TROVIK_REQUIRE_ENVIRONMENT(keys, "needs Xvfb: " + error);
  auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  const std::string address = bus->address();
  // Straight from the bus, so that no signal is lost to a client still learning who owns what.
  testing::BusWatch events("dbus-monitor --address '" + address +
                           "' \"type='signal',member='StatusNotifierItemRegistered'\""
                           " \"type='method_call',interface='com.canonical.dbusmenu'\"");
  std::optional<test::Process> tray;
  const test::ProcessOptions traySession{
      {TROVIK_TRAY_SESSION},
      {{"DISPLAY", screen->display()}, {"DBUS_SESSION_BUS_ADDRESS", address}}};
  // No xdg-open on its path: what the Accessibility line opens shows in what it says.
  AgentProcess agent({{},
                      {{"DISPLAY", keys->display()},
                       {"DBUS_SESSION_BUS_ADDRESS", address},
                       {"PATH", "/nonexistent"}}});
  ASSERT_TRUE(agent.waitForLine(kListening));
  const testing::TrayItem item(address, agent.pid());
  const std::string registered = "string \"" + item.name + "/StatusNotifierItem\"";
  test::UdpPeer tablet;

  constexpr std::string_view kNoTray = "trovik-helper: status item: no tray is running";
  EXPECT_TRUE(
      test::waitUntil([&] { return agent.errorText().find(kNoTray) != std::string::npos; }));
  tray.emplace(traySession);
  ASSERT_TRUE(events.next(registered, kPatience)) << error << agent.errorText();
  EXPECT_EQ(item.property("IconName"), "(<'edit-cut'>,)");
  EXPECT_EQ(item.property("ToolTip"),
            "(<('', @a(iiay) [], 'Trovik Helper', 'Ready for your iPad')>,)");
  const std::string lines[] = {
      "{'label': <'Trovik Helper'>, 'enabled': <false>}",
      "{'label': <'Ready for your iPad'>, 'enabled': <false>}",
      "{'label': <'This Computer: '>, 'enabled': <false>}",
      "{'label': <'Keep your iPad on the same Wi-Fi'>, 'enabled': <false>}",
      "{'type': <'separator'>}",
      "{'label': <'Accessibility Settings'>}",
      "{'label': <'Open at Login'>, 'toggle-type': <'checkmark'>, 'toggle-state': <0>}",
      "{'label': <'Ask Before New Tablets Type'>, 'toggle-type': <'checkmark'>, "
      "'toggle-state': <1>}",
      "{'label': <'Forget Trusted Tablets'>}",
      "{'label': <'Allow Tablet'>, 'visible': <false>}",
      "{'type': <'separator'>}",
      "{'label': <'Quit Trovik Helper'>, 'shortcut': <[['Control', 'q']]>}"};
  std::string expected = "(0, {'children-display': <'submenu'>}, [";
  for (std::size_t i = 0; i < std::size(lines); ++i)
    expected += (i ? ", <(" : "<(") + std::to_string(i + 1) + ", " + lines[i] + ", @av [])>";
  std::string layout = item.menu("GetLayout", "0 -1 '[]'");
  const auto name = layout.find("This Computer: ") + 15;  // whatever this computer is called
  if (name > 15) layout.erase(name, layout.find('\'', name) - name);
  EXPECT_THAT(layout, ::testing::HasSubstr(expected + "])"));

  // Opened as a user opens it, with a click on the icon; the tray asks before it draws.
  const std::string on = "DISPLAY=" + screen->display() + " ";
  EXPECT_TRUE(test::waitUntil([&] {
    return std::system((on + "xdotool mousemove 12 14 click 1").c_str()) == 0 &&
           events.next("member=AboutToShow", 1s).has_value();
  }));
  // Nothing tells when the drawing is done.
  const std::string shot = "sleep 0.5 && mkdir -p \"$(dirname " TROVIK_SCREENSHOT ")\" && " + on +
                           "import -window root -crop 340x266+0+0 " TROVIK_SCREENSHOT;
  EXPECT_EQ(std::system(shot.c_str()), 0);

  tray.reset();  // gone, as when the panel crashes or is restarted
  tablet.sendTo("LEFT", kCommandPort);
  EXPECT_TRUE(agent.waitForLine("Trovik: Received 'LEFT'"));
  tray.emplace(traySession);
  EXPECT_TRUE(events.next(registered, 5s));
  tablet.sendTo("RIGHT", kCommandPort);
  EXPECT_TRUE(agent.waitForLine("Trovik: Received 'RIGHT'"));
  const std::string errors = agent.errorText();
  EXPECT_EQ(errors.find(kNoTray), errors.rfind(kNoTray)) << "said more than once:\n" << errors;

  // Only a click acts, and ids that name no line are refused: alone, or back from a group.
  EXPECT_THAT(item.menu("Event", "13 clicked '<0>' 0"), ::testing::HasSubstr("Error.InvalidArgs"));
  EXPECT_EQ(
      item.menu("EventGroup",
                "\"[(6, 'clicked', <''>, 0), (9, 'hovered', <0>, 0), (42, 'clicked', <0>, 0)]\""),
      "([42],)");
  const std::string help = "trovik-helper: workspace: cannot open " +
                           keyboardAccessHelpLink(TROVIK_HELPER_PATH) +
                           ": xdg-open: No such file or directory\n";
  EXPECT_TRUE(test::waitUntil([&] { return agent.errorText().find(help) != std::string::npos; }))
      << agent.errorText();

  testing::BusWatch signals("gdbus monitor --address '" + address + "' --dest " + item.name);
  EXPECT_TRUE(signals.next("is owned by", kPatience));
  keys->stop();  // keyboard access goes with the X server
  EXPECT_TRUE(signals.next(
      "ItemsPropertiesUpdated ([(2, {'label': <'Needs keyboard access: open Accessibility "
      "Settings'>, 'enabled': <false>})], @a(ias) [])",
      kPatience));
  EXPECT_TRUE(signals.next("NewToolTip ()", kPatience));
  EXPECT_EQ(item.property("ToolTip"),
            "(<('', @a(iiay) [], 'Trovik Helper', 'Needs keyboard access: open Accessibility "
            "Settings')>,)");
  EXPECT_EQ(item.menu("Event", "12 clicked '<0>' 0"), "()");
  EXPECT_EQ(agent.waitForExit(), 0) << agent.errorText();
}

// The program installed as a user installs it, started again and again with one settings
// folder: Open at Login is set up at its first launch only, and never by a build-tree copy.
TEST(InstalledAgent, RegistersAtItsFirstLaunchOnlyAndABuildTreeCopyNever) {
  TROVIK_REQUIRE_ISOLATION();
  const test::TempFolder root;
  const fs::path config = fs::path(root.path) / "config";
  const fs::path entry = config / "autostart" / "trovik-helper.desktop";
  // Runs `program` with the test's settings folder until it listens, does `meanwhile`, then
  // stops it.
  const auto runOnce = [&](const std::string& program, const std::string& bus = "",
                           const std::function<void(AgentProcess&)>& meanwhile = {}) {
    AgentOptions options{{}, {{"XDG_CONFIG_HOME", config}}, true, program};
    if (!bus.empty()) options.environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus);
    AgentProcess agent(options);
    EXPECT_TRUE(agent.waitForLine(kListening)) << agent.errorText();
    if (meanwhile) meanwhile(agent);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(), 0) << agent.errorText();
    for (const auto& line : agent.lines()) EXPECT_EQ(line.find("Open at Login"), std::string::npos);
  };

  runOnce(TROVIK_HELPER_PATH);
  EXPECT_FALSE(fs::exists(config / "autostart"));
  EXPECT_FALSE(fs::exists(config / "trovik-helper")) << "a later installed launch gets its turn";

  // Staged below the test's folder, so that the system files' absolute folders are too.
  const std::string install = "DESTDIR='" + root.path +
                              "' '" TROVIK_CMAKE "' --install '" TROVIK_BUILD_DIR
                              "' --prefix /opt/trovik >/dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0) << install;
  const fs::path program = fs::path(root.path) / "opt/trovik/bin/trovik-helper";

  runOnce(program);
  std::ifstream written(entry);
  const std::string text(std::istreambuf_iterator<char>(written), {});
  EXPECT_NE(text.find("\nExec=" + program.string() + "\n"), std::string::npos) << text;

  // The user switched it off while the agent was not running: it stays off.
  fs::remove(entry);
  std::string error;
  const auto bus = testing::PrivateBus::start(error);
  ASSERT_TRUE(bus) << error;
  runOnce(program, bus->address(), [&](AgentProcess& agent) {
    EXPECT_FALSE(fs::exists(entry));
    // Then on and off again from the menu, as a tray sends it: the entry follows the mark.
    const testing::TrayItem item(bus->address(), agent.pid());
    EXPECT_EQ(item.menu("GetProperty", "7 toggle-state"), "(<0>,)");
    for (const bool on : {true, false}) {
      EXPECT_EQ(item.menu("Event", "7 clicked '<0>' 0"), "()");
      EXPECT_TRUE(test::waitUntil([&] { return fs::exists(entry) == on; })) << on;
      EXPECT_TRUE(test::waitUntil([&] {
        return item.menu("GetProperty", "7 toggle-state") == (on ? "(<1>,)" : "(<0>,)");
      })) << on;
    }
  });
}

}  // namespace trovik::e2e
