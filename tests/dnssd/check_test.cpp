// `trovik-helper --check` in the namespace that scripts/with-avahi makes: what it says of each
// service as they come and go, and its exit status, which tells whether tablets can use it.

#include <gmock/gmock.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "support/fake_bus_service.hpp"
#include "support/private_bus.hpp"
#include "support/udp_peer.hpp"
#include "support/xvfb_server.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// One run of the check: its exit status and its lines by service.
struct Report {
  std::optional<int> status;
  std::map<std::string, std::string> lines;
  std::string operator[](const std::string& s) { return lines[s]; }
};

Report check(const std::string& config, std::vector<std::pair<std::string, std::string>> env) {
  env.emplace_back("XDG_CONFIG_HOME", config);
  test::Process run({{TROVIK_HELPER_PATH, "--check"},
                     env,
                     {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"},
                     true});
  Report report{run.waitForExit(20s), {}};
  for (const auto& line : run.lines()) {
    const auto start = line.find_first_not_of(' ', line.find(' '));
    const std::string service = line.substr(start, line.find(':') - start);
    // Every line says how it stands; every line that is not ok says what to do.
    EXPECT_THAT(line, ::testing::MatchesRegex("ok      .*|(warn    |missing ).*; .*"));
    report.lines[service] = line;
  }
  EXPECT_EQ(report.lines.size(), 9u) << run.errorText();
  return report;
}

TEST(Check, SaysWhatKeepsTabletsOutAndExitsZeroOnlyWhenTheyCanFindItAndType) {
  const std::string why = test::avahiNamespaceProblem();
  TROVIK_REQUIRE_ENVIRONMENT(why.empty(), why);
  TROVIK_REQUIRE_ENVIRONMENT(!std::filesystem::exists("/dev/uinput"),
                             "needs a machine without /dev/uinput");
  std::string error;
  auto x = testing::XvfbServer::start(error, {}, {"-noreset"});  // keeps what xprop sets
  TROVIK_REQUIRE_ENVIRONMENT(x, "needs Xvfb: " + error);
  auto session = testing::PrivateBus::start(error);
  ASSERT_TRUE(session) << error;
  const test::TempFolder config;
  const std::vector<std::pair<std::string, std::string>> desktop = {
      {"DISPLAY", x->display()}, {"DBUS_SESSION_BUS_ADDRESS", session->address()}};
  const std::string missingUinput = "/dev/uinput is missing (the uinput module is not loaded)";

  {
    SCOPED_TRACE("no desktop at all, no avahi-daemon");
    ASSERT_TRUE(!test::avahiDaemon("running") || test::avahiDaemon("stop"));
    auto report = check(config.path, {});
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(report["keyboard"], "missing keyboard: cannot type (uinput: " + missingUinput +
                                      "; XTest: DISPLAY is not set); run \"sudo modprobe "
                                      "uinput\", or start trovik-helper inside an X11 session");
    EXPECT_THAT(report["discovery"], StartsWith("missing discovery: avahi-daemon is not running"));
    EXPECT_THAT(report["tray"], StartsWith("missing tray: no session bus"));
    EXPECT_EQ(report["command port"], "ok      command port: UDP 9876 is free");
    EXPECT_EQ(report["who may type"],
              "ok      who may type: 0 trusted tablets (trovik-helper "
              "--tablets lists them); new tablets ask first");
  }
  {
    SCOPED_TRACE("Xvfb without a window manager, a session bus without a tray, no avahi-daemon");
    auto report = check(config.path, desktop);
    EXPECT_EQ(report.status, 1);  // it can type, but tablets cannot find it
    EXPECT_EQ(report["keyboard"], "ok      keyboard: types through XTest on " + x->display() +
                                      " (uinput: " + missingUinput + ")");
    EXPECT_THAT(report["tray"], StartsWith("missing tray: no tray is running"));
    EXPECT_THAT(report["notifications"], StartsWith("missing notifications: no notification"));
    EXPECT_THAT(report["application in front"], HasSubstr("no _NET_ACTIVE_WINDOW"));
  }

  // The rest of a desktop: a window manager's word on the active window, a tray, notifications.
  const std::string wm =
      "DISPLAY=" + x->display() +
      " xprop -root -f _NET_SUPPORTED 32a -set _NET_SUPPORTED _NET_ACTIVE_WINDOW";
  ASSERT_EQ(std::system(wm.c_str()), 0);
  const auto answer = [](sd_bus_message* call) { return sd_bus_reply_method_return(call, ""); };
  const test::FakeBusService tray(session->address(), "org.kde.StatusNotifierWatcher", answer);
  const test::FakeBusService notices(session->address(), "org.freedesktop.Notifications", answer);
  ASSERT_TRUE(tray.ready() && notices.ready());
  ASSERT_TRUE(test::avahiDaemon("start"));
  {
    SCOPED_TRACE("everything there, the port free or the agent's");
    auto report = check(config.path, desktop);
    EXPECT_EQ(report.status, 0);
    for (const auto& [service, line] : report.lines) {
      if (service != "open at login") {
        EXPECT_THAT(line, StartsWith("ok ")) << line;
      }
    }
    EXPECT_THAT(report["discovery"], HasSubstr("avahi-daemon runs; tablets find this computer"));

    auto env = desktop;
    env.emplace_back("XDG_CONFIG_HOME", config.path);
    test::Process agent({{TROVIK_HELPER_PATH}, env, {"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}, true});
    ASSERT_TRUE(agent.waitForLine("Trovik: Listening and advertising as Bonjour service"));
    report = check(config.path, desktop);
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report["command port"],
              "ok      command port: UDP 9876 is served by the running agent, trovik-helper (pid " +
                  std::to_string(agent.pid()) + ")");
    test::UdpPeer tablet;
    tablet.sendTo("LEFT", 9876);
    EXPECT_TRUE(agent.waitForLine("Trovik: Received 'LEFT'")) << "the check disturbed the agent";
  }
  {
    SCOPED_TRACE("the port taken by another program");
    const test::UdpPeer squatter("::", 9876);
    auto report = check(config.path, desktop);
    EXPECT_EQ(report.status, 1);
    EXPECT_THAT(report["command port"],
                StartsWith("missing command port: UDP 9876 is taken by dnssd_tests (pid " +
                           std::to_string(::getpid()) + "); stop it"));
    // The agent, started all the same, says so and runs on.
    test::Process agent({{TROVIK_HELPER_PATH}, {{"XDG_CONFIG_HOME", config.path}}, {}, true});
    EXPECT_TRUE(agent.waitForLine("Trovik: Listener failed: Address already in use"));
  }
  {
    SCOPED_TRACE("firewalld's zone lets mDNS in but not the command port");
    const test::FakeBusService firewalld(
        std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), "org.fedoraproject.FirewallD1",
        [](sd_bus_message* call) {
          const std::string member = sd_bus_message_get_member(call);
          if (member == "getDefaultZone") return sd_bus_reply_method_return(call, "s", "public");
          const char *zone = "", *what = "";
          sd_bus_message_read(call, "ss", &zone, &what);
          const bool yes = member == "queryService" && std::string(what) == "mdns";
          return sd_bus_reply_method_return(call, "b", yes && std::string(zone) == "public");
        });
    ASSERT_TRUE(firewalld.ready());
    auto report = check(config.path, desktop);
    EXPECT_EQ(report.status, 1);
    EXPECT_THAT(report["firewall"],
                StartsWith("warn    firewall: firewalld's zone public does not let in UDP 9876; "
                           "run \"sudo firewall-cmd --permanent --add-"));
    EXPECT_THAT(report["firewall"], HasSubstr("&& sudo firewall-cmd --reload\""));
  }
  {
    SCOPED_TRACE("ufw enabled, with a rule for a range that holds 9876 on one interface");
    // An /etc of this namespace's own, over the machine's.
    const test::TempFolder layer;
    const std::string etc =
        "mkdir " + layer.path + "/u " + layer.path +
        "/w && mount -t overlay overlay -o lowerdir=/etc,upperdir=" + layer.path +
        "/u,workdir=" + layer.path + "/w /etc";
    TROVIK_REQUIRE_ENVIRONMENT(std::system(etc.c_str()) == 0, "needs overlayfs for a private /etc");
    std::filesystem::create_directories("/etc/ufw");
    std::ofstream("/etc/ufw/ufw.conf") << "# on\nENABLED=yes\n";
    std::ofstream("/etc/ufw/user.rules")
        << "### tuple ### allow udp 9000:9999 0.0.0.0/0 any 0.0.0.0/0 in_eth0\n";
    std::ofstream("/etc/ufw/before.rules") << "";  // mDNS taken out of ufw's own rules
    auto report = check(config.path, desktop);
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(report["firewall"],
              "warn    firewall: ufw does not let in mDNS (UDP 5353); run \"sudo ufw allow "
              "5353/udp\"");
    EXPECT_EQ(std::system("umount /etc"), 0);
  }
  {
    SCOPED_TRACE("an nftables input chain that drops what it does not name");
    const test::TempFolder bin;
    std::ofstream(bin.path + "/nft")
        << "#!/bin/sh\ncat <<'EOF'\ntable inet filter {\n"
           "\tchain input {\n\t\ttype filter hook input priority "
           "filter; policy drop;\n\t\tudp dport 5353 accept\n\t}\n}\nEOF\n";
    std::filesystem::permissions(bin.path + "/nft", std::filesystem::perms::owner_all);
    auto env = desktop;
    env.emplace_back("PATH", bin.path + ":" + std::getenv("PATH"));
    auto report = check(config.path, env);
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(
        report["firewall"],
        "warn    firewall: the nftables chain inet filter input does not let in UDP 9876; run "
        "\"sudo nft insert rule inet filter input udp dport { 5353, 9876 } accept\" and add "
        "it to /etc/nftables.conf");
  }
}

}  // namespace
}  // namespace trovik
