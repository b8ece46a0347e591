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
  // does, and fails when nothing listens on the far end. A flow the agent refuses takes its
  // datagram with it, and the next one makes a new flow.
  std::map<std::string, std::shared_ptr<fakes::FakeConnection>> flows;
  struct Channel {
    std::shared_ptr<fakes::FakeConnection> connection;
    Tablet tablet;
    std::size_t seen = 0;
  };
  std::vector<Channel> channels;
  const auto flowOf = [&](const Tablet& t) -> fakes::FakeConnection* {
    const std::string key = t.address + "/" + std::to_string(t.port);
    if (auto known = flows.find(key); known != flows.end()) return known->second.get();
    const std::size_t before = fake.network.channels.size();
    auto flow = fake.network.listener->connect(t.address, t.port);
    fake.settle();
    if (fake.network.channels.size() == before) return nullptr;
    flows[key] = flow;
    const auto channel = fake.network.channels.back();
    channels.emplace_back(channel, t, 0);
    channel->reportState(Kind::preparing);
    channel->reportState(Kind::ready);
    fake.settle();
    if (!t.hearsState) channel->reportState(Kind::failed, "Connection refused");
    return flow.get();
  };

  Transcript got;
  for (const auto& step : GetParam().steps) {
    const std::size_t asked = fake.tablets.asked.size();
    switch (step.kind) {
      case Step::Kind::send:
        if (auto* flow = flowOf(step.tablet)) flow->completeReceive(step.text);
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
            ->completeReceive(step.text.empty() ? std::nullopt : std::optional(step.text),
                              "Connection reset");
        break;
      case Step::Kind::answer:
        EXPECT_TRUE(fake.tablets.answer(step.text == "allow")) << "no question open";
        break;
      case Step::Kind::screenLock:
      case Step::Kind::screenUnlock:
        fake.trust.lock(step.kind == Step::Kind::screenLock);
        break;
      case Step::Kind::wait:
        fake.runLoop.advance(std::chrono::seconds(step.seconds));
        break;
    }
    fake.settle();
    EXPECT_EQ(fake.tablets.asked.size() - asked, step.asks ? 1u : 0u) << "questions asked";
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
