// The table of what a tablet sees, run against the built program: tablets on loopback
// addresses of a network namespace of its own, keys typed through XTest into a focused
// window on a private X server. Each step's effects are awaited before the next step.

#include <algorithm>
#include <map>

#include "behaviour/table.hpp"
#include "e2e/agent_harness.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "support/fake_logind.hpp"
#include "support/private_bus.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::behaviour {

using namespace std::chrono_literals;
using e2e::kCommandPort;
using e2e::kStatePort;
using test::UdpPeer;
using testing::SeenKey;

// A frozen X server is noticed within about a second, and the next check comes within 2.
constexpr auto kStepPatience = 8s;

static std::vector<SeenKey> seenFor(const std::vector<Press>& presses) {
  std::vector<SeenKey> seen;
  for (const auto& p : presses) testing::addPress(seen, *evdevKeyCode(p.key) + 8, p.shift);
  return seen;
}

static std::vector<Row> realRows() {
  std::vector<Row> real;
  std::copy_if(rows().begin(), rows().end(), std::back_inserter(real),
               [](const Row& row) { return !row.fakesOnly; });
  return real;
}

class Table : public ::testing::TestWithParam<Row> {};

TEST_P(Table, TabletsSeeWhatTheRowSays) {
  TROVIK_REQUIRE_ISOLATION();
  const Row& row = GetParam();
  std::string error;
  auto server = testing::XvfbServer::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
  auto window = testing::XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(window) << error;
  // What each host hears on its state port, and each tablet's socket by address and port.
  std::map<std::string, std::unique_ptr<UdpPeer>> hosts, tablets;
  for (const auto& step : row.steps) {
    auto& host = hosts[step.tablet.address];
    if (step.kind == Step::Kind::send && step.tablet.hearsState && !host)
      host = std::make_unique<UdpPeer>(step.tablet.address, kStatePort);
  }
  std::erase_if(hosts, [](const auto& host) { return !host.second; });
  // A row that locks the screen has a logind that knows the agent's session.
  std::vector<std::pair<std::string, std::string>> environment{{"DISPLAY", server->display()}};
  std::unique_ptr<testing::PrivateBus> systemBus;
  std::unique_ptr<testing::FakeLogind> logind;
  if (std::ranges::any_of(row.steps,
                          [](const Step& s) { return s.kind == Step::Kind::screenLock; })) {
    systemBus = testing::PrivateBus::start(error);
    if (systemBus) logind = std::make_unique<testing::FakeLogind>(systemBus->address());
    ASSERT_TRUE(logind && logind->ready()) << error;
    environment.insert(environment.end(), {{"DBUS_SYSTEM_BUS_ADDRESS", systemBus->address()},
                                           {"XDG_SESSION_ID", testing::FakeLogind::kSessionId}});
  }
  e2e::AgentProcess agent({{}, environment});
  const auto& launch = launchLines();
  for (std::size_t i = 0; i < launch.size() && agent.nextLine(); ++i) {
  }
  const auto& lines = agent.lines();
  ASSERT_TRUE(std::is_permutation(launch.begin(), launch.end(), lines.begin(),
                                  lines.begin() + std::min(lines.size(), launch.size())))
      << agent.errorText();

  Transcript got;
  // Waits until `count` datagrams have come in all, then takes whatever else is there.
  const auto drainHeard = [&](std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kStepPatience;
    std::size_t taken = 0;
    for (bool any = true; any || (taken < count && std::chrono::steady_clock::now() < deadline);) {
      any = false;
      for (auto& [address, peer] : hosts) {
        while (auto datagram = peer->receive(taken < count ? 5ms : 0ms)) {
          got.heard.push_back({address, *datagram});
          ++taken;
          any = true;
        }
      }
    }
  };
  std::size_t expectedKeys = 0;
  for (const auto& step : row.steps) {
    if (step.kind == Step::Kind::send) {
      auto& tablet = tablets[step.tablet.address + "/" + std::to_string(step.tablet.port)];
      if (!tablet) tablet = std::make_unique<UdpPeer>(step.tablet.address, step.tablet.port);
      const bool v6 = step.tablet.address.find(':') != std::string::npos;
      tablet->sendTo(step.text, kCommandPort, v6 ? "::1" : "127.0.0.1");
    } else if (step.kind == Step::Kind::accessLost || step.kind == Step::Kind::accessBack) {
      server->signal(step.kind == Step::Kind::accessLost ? SIGSTOP : SIGCONT);
    } else if (step.kind == Step::Kind::screenLock || step.kind == Step::Kind::screenUnlock) {
      logind->setLocked(step.kind == Step::Kind::screenLock);
    } else if (step.kind == Step::Kind::activate) {
      // As a window manager would: a window of the application, made the active one.
      window->activate(window->make(step.windowClass, step.applicationID));
    } else {
      FAIL() << "not a step the real program can be made to take here";
    }
    for (const auto& line : step.log) {
      EXPECT_TRUE(agent.waitForLine(line, kStepPatience)) << "waiting for: " << line;
    }
    drainHeard(step.heard.size());
    expectedKeys += seenFor(step.presses).size();
  }
  std::this_thread::sleep_for(200ms);  // room for anything the agent should not have sent
  drainHeard(0);
  // It stops within a second whatever the row left behind, even a frozen X server; under a
  // sanitizer, whatever it found makes the exit status non-zero.
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(1s), 0) << agent.errorText();
  got.log.assign(lines.begin() + static_cast<long>(launch.size()), lines.end());
  server->signal(SIGCONT);  // the window reads what it was sent

  const Transcript want = expected(row);
  EXPECT_EQ(got.log, want.log) << agent.errorText();
  expectSameHeard(got.heard, want.heard);
  EXPECT_EQ(window->takeAll(expectedKeys, kStepPatience), seenFor(want.presses));
}

INSTANTIATE_TEST_SUITE_P(Behaviour, Table, ::testing::ValuesIn(realRows()),
                         [](const auto& info) { return info.param.id; });

}  // namespace trovik::behaviour
