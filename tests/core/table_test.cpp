// The table of what a tablet sees, run against the agent's core on fakes: every step is
// handled to the end before the next, on virtual time.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/app_delegate.hpp"
#include "behaviour/table.hpp"
#include "fakes/fakes.hpp"

namespace trovik::behaviour {

using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;

class Table : public ::testing::TestWithParam<Row> {};

TEST_P(Table, TabletsSeeWhatTheRowSays) {
  fakes::FakePlatform fake;
  const auto delegate = AppDelegate::create(fake.platform());
  delegate->applicationDidFinishLaunching();
  fake.network.listener->reportState(ListenerState::Kind::ready);
  fake.settle();
  EXPECT_EQ(fake.trust.prompts, 0);  // keys granted: nothing to ask for

  // A tablet's first datagram makes its flow; its channel then gets ready as a real one
  // does, and fails when nothing listens on the far end.
  std::map<std::string, std::shared_ptr<fakes::FakeConnection>> flows;
  // Each channel, its tablet, and how many of its datagrams are taken.
  std::vector<std::tuple<std::shared_ptr<fakes::FakeConnection>, Tablet, std::size_t>> channels;
  const auto flowOf = [&](const Tablet& t) -> fakes::FakeConnection& {
    auto& flow = flows[t.address + "/" + std::to_string(t.port)];
    if (flow) return *flow;
    flow = fake.network.listener->connect(t.address, t.port);
    fake.settle();
    const auto channel = fake.network.channels.back();
    channels.emplace_back(channel, t, 0);
    channel->reportState(Kind::preparing);
    channel->reportState(Kind::ready);
    fake.settle();
    if (!t.hearsState) channel->reportState(Kind::failed, "Connection refused");
    return *flow;
  };

  Transcript got;
  for (const auto& step : GetParam().steps) {
    switch (step.kind) {
      case Step::Kind::send:
        flowOf(step.tablet).completeReceive(step.text);
        break;
      case Step::Kind::accessLost:
      case Step::Kind::accessBack:
        fake.trust.trusted = step.kind == Step::Kind::accessBack;
        fake.runLoop.advance(2s);
        break;
      case Step::Kind::activate:
        fake.workspace.activate(step.text);
        break;
      case Step::Kind::clientFails:
        flowOf(step.tablet)
            .completeReceive(step.text.empty() ? std::nullopt : std::optional(step.text),
                             "Connection reset");
        break;
    }
    fake.settle();
    for (auto& [channel, tablet, seen] : channels) {
      const auto datagrams = channel->datagrams();
      for (; seen < datagrams.size(); ++seen) {
        if (tablet.hearsState) got.heard.push_back({tablet.address, datagrams[seen]});
      }
    }
  }
  for (const auto& p : fake.keyboard.presses()) got.presses.push_back({p.key, p.shift});

  const Transcript want = expected(GetParam());
  const auto& launch = launchLines();
  got.log = fake.log.lines();
  ASSERT_GE(got.log.size(), launch.size());
  EXPECT_TRUE(std::is_permutation(launch.begin(), launch.end(), got.log.begin()));
  got.log.erase(got.log.begin(), got.log.begin() + static_cast<long>(launch.size()));
  EXPECT_EQ(got.log, want.log);
  expectSameHeard(got.heard, want.heard);
  EXPECT_EQ(got.presses, want.presses);
}

INSTANTIATE_TEST_SUITE_P(Behaviour, Table, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return info.param.id; });

}  // namespace trovik::behaviour
