// The program installed as a user installs it, started again and again with one settings
// folder: Open at Login is set up at its first launch only, and never by a build-tree copy.

#include "e2e/agent_harness.hpp"
#include "support/desktop_bus.hpp"
#include "support/private_bus.hpp"

namespace trovik::e2e {

namespace fs = std::filesystem;

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
    const std::string item = "org.kde.StatusNotifierItem-" + std::to_string(agent.pid()) + "-1";
    const auto menu = [&](const std::string& method, const std::string& arguments) {
      return testing::gdbusCall(bus->address(), item, "/MenuBar",
                                "com.canonical.dbusmenu." + method, arguments);
    };
    EXPECT_EQ(menu("GetProperty", "7 toggle-state"), "(<0>,)");
    for (const bool on : {true, false}) {
      EXPECT_EQ(menu("Event", "7 clicked '<0>' 0"), "()");
      EXPECT_TRUE(test::waitUntil([&] { return fs::exists(entry) == on; })) << on;
      EXPECT_TRUE(test::waitUntil([&] {
        return menu("GetProperty", "7 toggle-state") == (on ? "(<1>,)" : "(<0>,)");
      })) << on;
    }
  });
}

}  // namespace trovik::e2e
