// The table of what a tablet sees, run against the built program: tablets on loopback
// addresses of a network namespace of its own, keys typed through XTest into a focused
// window on a private X server. Each step's effects are awaited before the next step.

#include <signal.h>

#include <algorithm>
#include <map>

#include "behaviour/table.hpp"
#include "e2e/agent_harness.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "support/x_key_recorder.hpp"
#include "support/x_windows.hpp"
#include "support/xvfb_server.hpp"

namespace trovik::behaviour {
namespace {

using namespace std::chrono_literals;
using e2e::kCommandPort;
using e2e::kStatePort;
using test::UdpPeer;

// A frozen X server is noticed within about a second, and the next check comes within 2.
constexpr auto kStepPatience = 8s;

using testing::SeenKey;

std::vector<SeenKey> seenFor(const std::vector<Press>& presses) {
  std::vector<SeenKey> seen;
  for (const auto& p : presses) testing::addPress(seen, *evdevKeyCode(p.key) + 8, p.shift);
  return seen;
}

class RealRun {
 public:
  explicit RealRun(const Row& row) {
    std::string error;
    server_ = testing::XvfbServer::start(error);
    if (!server_) throw std::runtime_error("needs Xvfb: " + error);
    window_ = testing::XKeyRecorder::open(server_->display(), error);
    if (!window_) throw std::runtime_error(error);
    windows_ = testing::XWindows::open(server_->display(), error);
    if (!windows_) throw std::runtime_error(error);
    for (const auto& step : row.steps) {
      if (step.kind == Step::Kind::send && step.tablet.hearsState &&
          !hosts_.contains(step.tablet.address)) {
        hosts_.emplace(step.tablet.address,
                       std::make_unique<UdpPeer>(step.tablet.address, kStatePort));
      }
    }
    e2e::AgentOptions options;
    options.environment = {{"DISPLAY", server_->display()}};
    agent_.emplace(std::move(options));
    const auto& launch = launchLines();
    const bool launched = test::waitUntil([&] {
      agent_->nextLine(10ms);
      const auto& lines = agent_->lines();
      return std::is_permutation(launch.begin(), launch.end(), lines.begin(),
                                 lines.begin() + std::min(lines.size(), launch.size()));
    });
    if (!launched) throw std::runtime_error("the agent did not launch: " + agent_->errorText());
    launchLines_ = checked_ = launch.size();
  }

  Transcript run(const Row& row) {
    Transcript t;
    for (const auto& step : row.steps) {
      perform(step);
      // Its effects come before the next step is taken.
      for (const auto& line : step.log) EXPECT_TRUE(saw(line)) << "waiting for: " << line;
      drainHeard(step.heard.size(), t.heard);
      expectedKeys_ += seenFor(step.presses).size();
    }
    std::this_thread::sleep_for(200ms);  // room for anything the agent should not have sent
    drainHeard(0, t.heard);
    // It stops within a second whatever the row left behind, even a frozen X server; under a
    // sanitizer, whatever it found makes the exit status non-zero.
    agent_->signal(SIGTERM);
    exit_ = agent_->waitForExit(1s);
    const auto& lines = agent_->lines();
    t.log.assign(lines.begin() + static_cast<long>(launchLines_), lines.end());
    server_->signal(SIGCONT);  // the window reads what it was sent
    seen_ = window_->takeAll(expectedKeys_, kStepPatience);
    return t;
  }

  const std::vector<SeenKey>& keys() const { return seen_; }
  std::optional<int> exitStatus() const { return exit_; }
  std::string errors() { return agent_->errorText(); }

 private:
  void perform(const Step& step) {
    switch (step.kind) {
      case Step::Kind::send: {
        const auto key = step.tablet.address + "/" + std::to_string(step.tablet.port);
        auto& tablet = tablets_[key];
        if (!tablet) tablet = std::make_unique<UdpPeer>(step.tablet.address, step.tablet.port);
        const bool v6 = step.tablet.address.find(':') != std::string::npos;
        tablet->sendTo(step.text, kCommandPort, v6 ? "::1" : "127.0.0.1");
        break;
      }
      case Step::Kind::accessLost:
        server_->signal(SIGSTOP);
        break;
      case Step::Kind::accessBack:
        server_->signal(SIGCONT);
        break;
      case Step::Kind::activate:
        // As a window manager would: a window of the application, made the active one.
        windows_->activate(windows_->make(step.windowClass, step.applicationID));
        break;
      case Step::Kind::clientFails:
        FAIL() << "not a step the real program can be made to take here";
    }
  }

  bool saw(const std::string& line) {
    const auto& lines = agent_->lines();
    for (; checked_ < lines.size(); ++checked_) {
      if (lines[checked_] == line) {
        ++checked_;
        return true;
      }
    }
    if (!agent_->waitForLine(line, kStepPatience)) return false;
    checked_ = agent_->lines().size();
    return true;
  }

  // Waits until `count` datagrams have come in all, then takes whatever else is there.
  void drainHeard(std::size_t count, std::vector<Heard>& heard) {
    const auto deadline = std::chrono::steady_clock::now() + kStepPatience;
    std::size_t got = 0;
    for (bool any = true; any || (got < count && std::chrono::steady_clock::now() < deadline);) {
      any = false;
      for (auto& [address, peer] : hosts_) {
        while (auto datagram = peer->receive(got < count ? 5ms : 0ms)) {
          heard.push_back({address, *datagram});
          ++got;
          any = true;
        }
      }
    }
  }

  std::unique_ptr<testing::XvfbServer> server_;
  std::unique_ptr<testing::XKeyRecorder> window_;
  std::unique_ptr<testing::XWindows> windows_;
  std::map<std::string, std::unique_ptr<UdpPeer>> hosts_;
  std::map<std::string, std::unique_ptr<UdpPeer>> tablets_;
  std::optional<e2e::AgentProcess> agent_;
  std::size_t launchLines_ = 0;
  std::size_t checked_ = 0;
  std::size_t expectedKeys_ = 0;
  std::vector<SeenKey> seen_;
  std::optional<int> exit_;
};

std::vector<Row> realRows() {
  std::vector<Row> real;
  std::copy_if(rows().begin(), rows().end(), std::back_inserter(real),
               [](const Row& row) { return !row.fakesOnly; });
  return real;
}

class Table : public ::testing::TestWithParam<Row> {};

TEST_P(Table, TabletsSeeWhatTheRowSays) {
  TROVIK_REQUIRE_ISOLATION();
  const Row& row = GetParam();
  std::optional<RealRun> run;
  try {
    run.emplace(row);
  } catch (const std::runtime_error& error) {
    TROVIK_REQUIRE_ENVIRONMENT(false, error.what());
  }
  const Transcript want = expected(row);
  const Transcript got = run->run(row);
  EXPECT_EQ(got.log, want.log) << run->errors();
  expectSameHeard(got.heard, want.heard);
  EXPECT_EQ(run->keys(), seenFor(want.presses));
  EXPECT_EQ(run->exitStatus(), 0) << run->errors();
}

INSTANTIATE_TEST_SUITE_P(Behaviour, Table, ::testing::ValuesIn(realRows()),
                         [](const auto& info) { return info.param.id; });

}  // namespace
}  // namespace trovik::behaviour
