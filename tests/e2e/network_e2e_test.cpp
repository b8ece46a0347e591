// The agent on a veth link between network namespaces of the test's own, as on a home
// network: what reaches it from the link, from outside it, and from tablets the user has or
// has not let in.

#include <fcntl.h>
#include <linux/input.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "e2e/agent_harness.hpp"
#include "support/fake_bus_service.hpp"
#include "support/private_bus.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Empty when `script` ran to its end under sh -e, with `arguments` as $1 on, else why not.
std::string shell(const std::string& script, const std::vector<std::string>& arguments) {
  test::ProcessOptions options{{"/bin/sh", "-ec", script, "sh"}, {}, {}, true};
  options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
  test::Process sh(options);
  return sh.waitForExit() == 0 ? "" : "`" + script + "` failed: " + sh.errorText();
}

// Around the test's own namespace, where the agent runs at 192.168.77.1/24: a tablet's
// namespace ($1) on a veth link to it, at 192.168.77.2/24 and .3 (two tablets), fe80::2 and
// at 10.9.9.2/32 (outside the link's prefix, for a sender that lies about its address), and a far
// namespace ($2) at 10.9.8.2/24 that the tablet's routes to the agent's. The agent's namespace
// routes 10.9.0.0/16 back through the tablet's, so that an answer to an outsider would arrive.
constexpr const char* kTabletNetwork = R"(
ip netns add "$1"; ip netns add "$2"
ip link add agent0 type veth peer name tablet0 netns "$1"
ip link add far0 netns "$2" type veth peer name router0 netns "$1"
ip addr add 192.168.77.1/24 dev agent0; ip link set agent0 up
ip route add 10.9.0.0/16 via 192.168.77.2
sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.agent0.rp_filter=0
ip -n "$1" addr add 192.168.77.2/24 dev tablet0; ip -n "$1" addr add 10.9.9.2/32 dev tablet0
ip -n "$1" addr add 192.168.77.3/24 dev tablet0
ip addr add fe80::1/64 dev agent0 nodad; ip -n "$1" addr add fe80::2/64 dev tablet0 nodad
ip -n "$1" addr add 10.9.8.1/24 dev router0
ip -n "$1" link set tablet0 up; ip -n "$1" link set router0 up
ip netns exec "$1" sysctl -qw net.ipv4.ip_forward=1
ip -n "$2" addr add 10.9.8.2/24 dev far0; ip -n "$2" link set far0 up
ip -n "$2" route add default via 10.9.8.1
)";

// The namespaces of kTabletNetwork, named after this process and removed with this object.
struct TabletNetwork {
  const std::string tablet = "trovik-" + std::to_string(::getpid()) + "-tablet";
  const std::string far = "trovik-" + std::to_string(::getpid()) + "-far";
  const std::string problem = shell(kTabletNetwork, {tablet, far});
  ~TabletNetwork() {
    shell(R"(ip netns del "$1" || true; ip netns del "$2" || true)", {tablet, far});
  }
};

constexpr const char* kAgentAddress = "192.168.77.1";

// Runs `task` on a thread of its own inside namespace `name` of kTabletNetwork; false when
// it cannot enter it.
bool inNamespace(const std::string& name, const std::function<void()>& task) {
  bool entered = false;
  std::thread enter([&] {
    const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (entered) task();
    if (fd >= 0) ::close(fd);
  });
  enter.join();
  return entered;
}

// A peer made in namespace `name`, where its socket stays, that may send to the agent.
std::unique_ptr<UdpPeer> peerIn(const std::string& name, const std::string& address,
                                std::uint16_t port) {
  std::unique_ptr<UdpPeer> peer;
  std::string why = "cannot enter it";
  inNamespace(name, [&] {
    try {
      peer = std::make_unique<UdpPeer>(address, port);
    } catch (const std::runtime_error& error) {
      why = error.what();
    }
  });
  if (!peer) throw std::runtime_error("no socket in namespace " + name + ": " + why);
  peer->allowSendingTo(kAgentAddress);
  return peer;
}

// The agent on the link, with an X server whose focused window takes its keys, its
// configuration in a folder that outlives a restart, and a desktop session bus of its own.
class TabletLink : public ::testing::Test {
 protected:
  void SetUp() override {
    TROVIK_REQUIRE_ISOLATION();
    TROVIK_REQUIRE_ENVIRONMENT(network.problem.empty(), "a veth link: " + network.problem);
    std::string error;
    server = testing::XvfbServer::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(server != nullptr, "needs Xvfb: " + error);
    window = testing::XKeyRecorder::open(server->display(), error);
    bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(window && bus) << error;
    fs::create_directories(fs::path(config.path) / "trovik-helper");
  }
  void launch() {
    agent.emplace(AgentOptions{.environment = {{"DISPLAY", server->display()},
                                               {"DBUS_SESSION_BUS_ADDRESS", bus->address()},
                                               {"XDG_CONFIG_HOME", config.path}}});
    ASSERT_TRUE(agent->waitForLine(kListening)) << agent->errorText();
  }
  bool saidOnStandardError(const std::string& text) {
    return test::waitUntil([&] { return agent->errorText().find(text) != std::string::npos; });
  }
  void expectQuickCleanExit() {
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->waitForExit(1s), 0) << agent->errorText();
  }

  const TabletNetwork network;
  const test::TempFolder config;
  std::unique_ptr<testing::XvfbServer> server;
  std::unique_ptr<testing::XKeyRecorder> window;
  std::unique_ptr<testing::PrivateBus> bus;
  std::optional<AgentProcess> agent;
};

// A notification service with buttons, whose notifications the test answers.
struct Notifications {
  explicit Notifications(const std::string& address)
      : service(address, "org.freedesktop.Notifications",
                [this](sd_bus_message* call) { return answer(call); }) {}
  int answer(sd_bus_message* call) {
    if (sd_bus_message_is_method_call(call, nullptr, "GetCapabilities") > 0) {
      return sd_bus_reply_method_return(call, "as", 2, "actions", "body");
    }
    if (sd_bus_message_is_method_call(call, nullptr, "Notify") <= 0) {
      return sd_bus_reply_method_return(call, "");
    }
    // The buttons and the urgency, after the five leading arguments.
    const char *app, *icon, *summary, *body;
    std::uint32_t replaces;
    sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
    char** actions = nullptr;
    sd_bus_message_read_strv(call, &actions);
    std::string buttons;
    for (char** a = actions; a && *a; ++a) buttons += std::string(*a) + "|", std::free(*a);
    std::free(actions);
    const char* hint = nullptr;
    std::uint8_t urgency = 0;
    sd_bus_message_enter_container(call, 'a', "{sv}");
    sd_bus_message_enter_container(call, 'e', "sv");
    sd_bus_message_read(call, "sv", &hint, "y", &urgency);
    shown.put(std::string(summary) + "\n" + body + "\n" + buttons + "\n" + hint + "=" +
              std::to_string(urgency));
    return sd_bus_reply_method_return(call, "u", ++id);
  }
  // The user's click on `action` in notification `which`.
  void click(std::uint32_t which, const char* action) {
    service.onBus([which, action](sd_bus* bus) {
      sd_bus_emit_signal(bus, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                         "ActionInvoked", "us", which, action);
      sd_bus_emit_signal(bus, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                         "NotificationClosed", "uu", which, 2u);
    });
  }
  std::atomic<std::uint32_t> id = 0;
  test::Mailbox<std::string> shown;
  test::FakeBusService service;
};

constexpr const char* kQuestion =
    "Allow a tablet to type on this computer?\nA device at 192.168.77.2 wants to press keys in "
    "the application you are using. Allow it only if it is your tablet.\n"
    "allow|Allow|deny|Don't Allow|\nurgency=2";

// A new tablet is asked about and gets nothing until the user allows it, then types as any
// tablet, across restarts; one refused gets nothing while the allowed one types on.
TEST_F(TabletLink, ATabletTypesOnlyOnceAllowedAndOneRefusedGetsNothing) {
  Notifications notifications(bus->address());
  ASSERT_TRUE(notifications.service.ready());
  launch();
  auto first = peerIn(network.tablet, "192.168.77.2", 50000);
  auto firstState = peerIn(network.tablet, "192.168.77.2", kStatePort);
  first->sendTo("x", kCommandPort, kAgentAddress);
  EXPECT_EQ(notifications.shown.take(kPatience), kQuestion);
  EXPECT_EQ(firstState->receive(500ms), std::nullopt);
  notifications.click(1, "allow");
  const std::vector<std::string> opening = {"fcp:inactive", "app:inactive", "ax:granted"};
  EXPECT_EQ(greet(*first, *firstState, "hello", kPatience, kAgentAddress), opening);
  first->sendTo("SPACE", kCommandPort, kAgentAddress);
  EXPECT_EQ(firstState->receive(kPatience), "key:fired");
  std::vector<testing::SeenKey> keys;
  testing::addPress(keys, KEY_SPACE + 8, false);
  EXPECT_EQ(window->takeAll(keys.size(), kPatience), keys);  // the asking x was not typed

  auto second = peerIn(network.tablet, "192.168.77.3", 50000);
  second->sendTo("SPACE", kCommandPort, kAgentAddress);
  EXPECT_TRUE(notifications.shown.take(kPatience).has_value());
  notifications.click(2, "deny");
  auto secondState = peerIn(network.tablet, "192.168.77.3", kStatePort);
  for (int n = 0; n < 3; ++n, std::this_thread::sleep_for(200ms)) {
    second->sendTo("SPACE", kCommandPort, kAgentAddress);
    first->sendTo("a", kCommandPort, kAgentAddress);
    EXPECT_EQ(firstState->receive(kPatience), "key:fired");
  }
  EXPECT_EQ(secondState->receive(0ms), std::nullopt);
  EXPECT_EQ(notifications.shown.take(0ms), std::nullopt);  // refused: not asked again soon

  // A tablet on the link by its link-local address is asked about like any other.
  unsigned link = 0;
  inNamespace(network.tablet, [&] { link = ::if_nametoindex("tablet0"); });
  auto local = peerIn(network.tablet, "fe80::2%tablet0", 50000);
  local->allowSendingTo("fe80::1");
  local->sendTo("SPACE", kCommandPort, "fe80::1%" + std::to_string(link));
  const auto asked = notifications.shown.take(kPatience);
  EXPECT_NE(asked.value_or("").find("A device at fe80::2%agent0 wants"), std::string::npos);

  // Allowed once, for good; forgotten by a command, at once.
  expectQuickCleanExit();
  launch();
  EXPECT_EQ(greet(*first, *firstState, "hello", kPatience, kAgentAddress), opening);
  EXPECT_EQ(notifications.shown.take(500ms), std::nullopt);
  AgentProcess forget(
      AgentOptions{{"--forget", "192.168.77.2"}, {{"XDG_CONFIG_HOME", config.path}}});
  EXPECT_EQ(forget.waitForExit(), 0);
  EXPECT_TRUE(agent->waitForLine("Trovik: State connection to 192.168.77.2 \u2192 cancelled"));
  first->sendTo("c", kCommandPort, kAgentAddress);
  EXPECT_TRUE(notifications.shown.take(kPatience).has_value());
  expectQuickCleanExit();
}

// A tablet on the agent's link is served. A datagram from outside the link's prefix, and one
// routed from another network, type nothing, hear nothing and are counted. One host's many
// ports make at most 8 clients at a time, so that one command reaches that host 8 times.
TEST_F(TabletLink, OnlyTheSameNetworkIsServedAndOneHostHasAtMostEightClients) {
  // Not asking about new tablets: here only the network decides.
  std::ofstream(fs::path(config.path) / "trovik-helper" / "defaults")
      << "askBeforeNewTablets=false\n";
  launch();
  auto tablet = peerIn(network.tablet, "192.168.77.2", 50000);
  auto state = peerIn(network.tablet, "192.168.77.2", kStatePort);
  EXPECT_EQ(greet(*tablet, *state, "hello", kPatience, kAgentAddress).size(), 3u);
  const auto isTabletClient = [](const std::string& line) {
    return line.starts_with("Trovik: New client from 192.168.77.2,");
  };
  ASSERT_TRUE(agent->waitForLine(isTabletClient));

  auto spoofed = peerIn(network.tablet, "10.9.9.2", 50000);
  auto spoofedState = peerIn(network.tablet, "10.9.9.2", kStatePort);
  auto far = peerIn(network.far, "10.9.8.2", 50000);
  auto farState = peerIn(network.far, "10.9.8.2", kStatePort);
  for (int n = 0; n < 3; ++n, std::this_thread::sleep_for(10ms)) {
    spoofed->sendTo("SPACE", kCommandPort, kAgentAddress);
    far->sendTo("SPACE", kCommandPort, kAgentAddress);
  }
  EXPECT_TRUE(saidOnStandardError(
      "trovik-helper: network: ignored 6 datagrams from outside this computer's networks\n"));
  EXPECT_EQ(spoofedState->receive(0ms), std::nullopt);
  EXPECT_EQ(farState->receive(0ms), std::nullopt);
  EXPECT_TRUE(window->takeAll(0, kPatience).empty());

  // Twenty more ports of the tablet's host, each waited for: new peers are let in at a rate.
  std::vector<std::unique_ptr<UdpPeer>> ports;
  for (std::uint16_t n = 1; n <= 20; ++n) {
    ports.push_back(peerIn(network.tablet, "192.168.77.2", 50000 + n));
    bool taken = false;
    for (int tries = 0; !taken && tries < 100; ++tries) {
      ports.back()->sendTo("hello", kCommandPort, kAgentAddress);
      taken = agent->waitForLine(isTabletClient, 150ms).has_value();
    }
    ASSERT_TRUE(taken) << "port " << 50000 + n;
  }
  while (state->receive(500ms)) {  // the opening sequences
  }
  ports.back()->sendTo("SPACE", kCommandPort, kAgentAddress);
  EXPECT_TRUE(agent->waitForLine("Trovik: Broadcasting 'key:fired' to 8 state clients"));
  int fired = 0;
  while (auto datagram = state->receive(1s)) fired += *datagram == "key:fired";
  EXPECT_EQ(fired, 8);
  expectQuickCleanExit();
}

}  // namespace
}  // namespace trovik::e2e
