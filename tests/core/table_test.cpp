// The table of what a tablet sees, run against the agent's core on fakes: every step is
// handled to the end before the next, on virtual time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "app/app_delegate.hpp"
#include "behaviour/table.hpp"
#include "fakes/fakes.hpp"

namespace trovik::behaviour {
namespace {

using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;

class FakeRun {
 public:
  FakeRun() : delegate_(AppDelegate::create(fake_.platform())) {
    delegate_->applicationDidFinishLaunching();
    fake_.network.listener->reportState(ListenerState::Kind::ready);
    fake_.settle();
  }

  Transcript run(const Row& row) {
    for (const auto& step : row.steps) perform(step);
    Transcript t;
    t.log = fake_.log.lines();
    t.heard = heard_;
    for (const auto& p : fake_.keyboard.presses()) t.presses.push_back({p.key, p.shift});
    return t;
  }

 private:
  void perform(const Step& step) {
    switch (step.kind) {
      case Step::Kind::send:
        flowOf(step.tablet).completeReceive(step.text);
        break;
      case Step::Kind::accessLost:
      case Step::Kind::accessBack:
        fake_.trust.trusted = step.kind == Step::Kind::accessBack;
        fake_.runLoop.advance(2s);
        break;
      case Step::Kind::activate:
        fake_.workspace.activate(step.text);
        break;
      case Step::Kind::clientFails:
        flowOf(step.tablet)
            .completeReceive(step.text.empty() ? std::nullopt : std::optional(step.text),
                             "Connection reset");
        break;
    }
    fake_.settle();
    for (auto& [channel, tablet] : channels_) {
      const auto datagrams = channel->datagrams();
      for (auto& seen = seen_[channel.get()]; seen < datagrams.size(); ++seen) {
        if (tablet.hearsState) heard_.push_back({tablet.address, datagrams[seen]});
      }
    }
  }

  // A tablet's first datagram makes its flow; its channel then gets ready as a real one
  // does, and fails when nothing listens on the far end.
  fakes::FakeConnection& flowOf(const Tablet& t) {
    auto& flow = flows_[t.address + "/" + std::to_string(t.port)];
    if (flow) return *flow;
    flow = fake_.network.listener->connect(t.address, t.port);
    fake_.settle();
    const auto channel = fake_.network.channels.back();
    channels_.push_back({channel, t});
    channel->reportState(Kind::preparing);
    channel->reportState(Kind::ready);
    fake_.settle();
    if (!t.hearsState) channel->reportState(Kind::failed, "Connection refused");
    return *flow;
  }

  fakes::FakePlatform fake_;
  std::shared_ptr<AppDelegate> delegate_;
  std::map<std::string, std::shared_ptr<fakes::FakeConnection>> flows_;
  std::vector<std::pair<std::shared_ptr<fakes::FakeConnection>, Tablet>> channels_;
  std::map<const void*, std::size_t> seen_;
  std::vector<Heard> heard_;
};

class Table : public ::testing::TestWithParam<Row> {};

TEST_P(Table, TabletsSeeWhatTheRowSays) {
  const Row& row = GetParam();
  const Transcript want = expected(row);
  Transcript got = FakeRun().run(row);
  const auto& launch = launchLines();
  ASSERT_GE(got.log.size(), launch.size());
  EXPECT_TRUE(std::is_permutation(launch.begin(), launch.end(), got.log.begin()));
  got.log.erase(got.log.begin(), got.log.begin() + static_cast<long>(launch.size()));
  EXPECT_EQ(got.log, want.log);
  expectSameHeard(got.heard, want.heard);
  EXPECT_EQ(got.presses, want.presses);
}

INSTANTIATE_TEST_SUITE_P(Behaviour, Table, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return info.param.id; });

}  // namespace
}  // namespace trovik::behaviour
