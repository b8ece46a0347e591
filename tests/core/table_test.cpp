// The table of what a tablet sees, run against the agent's core on fakes: every step is
// handled to the end before the next, on virtual time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "app/app_delegate.hpp"
#include "behaviour/table.hpp"
#include "fakes/fake_platform.hpp"

namespace trovik::behaviour {
namespace {

using namespace std::chrono_literals;

class FakeRun {
 public:
  FakeRun() {
    delegate_ = AppDelegate::create(fake_.platform());
    delegate_->applicationDidFinishLaunching();
    fake_.network.listener()->reportState({ListenerState::Kind::ready, std::nullopt});
    fake_.settle();
    launchLines_ = fake_.log.lines().size();
  }

  Transcript run(const Row& row) {
    for (const auto& step : row.steps) perform(step);
    Transcript t;
    const auto log = fake_.log.lines();
    t.log.assign(log.begin() + static_cast<long>(launchLines_), log.end());
    t.heard = heard_;
    for (const auto& p : fake_.keyboard.presses()) t.presses.push_back({p.key, p.shift});
    return t;
  }

 private:
  struct Client {
    std::shared_ptr<fakes::FakeConnection> flow;
    std::shared_ptr<fakes::FakeConnection> channel;
  };

  void perform(const Step& step) {
    switch (step.kind) {
      case Step::Kind::send:
        clientOf(step.tablet).flow->completeReceive(step.text);
        break;
      case Step::Kind::accessLost:
      case Step::Kind::accessBack:
        fake_.trust.set(step.kind == Step::Kind::accessBack);
        fake_.runLoop.advance(2s);
        break;
      case Step::Kind::activate:
        fake_.workspace.activate(step.text);
        break;
      case Step::Kind::clientFails:
        clientOf(step.tablet).flow->completeReceive(std::nullopt, fakes::makeError("reset"));
        break;
    }
    fake_.settle();
    collectHeard();
  }

  // A tablet's first datagram makes its flow; its channel then gets ready as a real one
  // does, and fails when nothing listens on the far end.
  Client& clientOf(const Tablet& t) {
    const auto key = t.address + "/" + std::to_string(t.port);
    if (auto found = clients_.find(key); found != clients_.end()) return found->second;
    Client& c = clients_[key];
    c.flow =
        fake_.network.listener()->connect(Endpoint::hostPort(fakes::makeHost(t.address), t.port));
    fake_.settle();
    c.channel = fake_.network.channels().back();
    channels_.push_back({c.channel, t});
    c.channel->reportState({ConnectionState::Kind::preparing, std::nullopt});
    c.channel->becomeReady();
    fake_.settle();
    if (!t.hearsState) {
      c.channel->reportState(
          {ConnectionState::Kind::failed, fakes::makeError("Connection refused")});
    }
    return c;
  }

  void collectHeard() {
    for (auto& [channel, tablet] : channels_) {
      const auto datagrams = channel->datagrams();
      auto& seen = seen_[channel.get()];
      for (; seen < datagrams.size(); ++seen) {
        if (tablet.hearsState) heard_.push_back({tablet.address, datagrams[seen]});
      }
    }
  }

  fakes::FakePlatform fake_;
  std::shared_ptr<AppDelegate> delegate_;
  std::size_t launchLines_ = 0;
  std::map<std::string, Client> clients_;
  std::vector<std::pair<std::shared_ptr<fakes::FakeConnection>, Tablet>> channels_;
  std::map<const void*, std::size_t> seen_;
  std::vector<Heard> heard_;
};

class Table : public ::testing::TestWithParam<Row> {};

TEST_P(Table, TabletsSeeWhatTheRowSays) {
  const Row& row = GetParam();
  const Transcript want = expected(row);
  const Transcript got = FakeRun().run(row);
  EXPECT_EQ(got.log, want.log);
  std::set<std::string> hosts;
  for (const auto& h : want.heard) hosts.insert(h.address);
  for (const auto& h : got.heard) hosts.insert(h.address);
  for (const auto& host : hosts) {
    EXPECT_EQ(heardBy(got.heard, host), heardBy(want.heard, host)) << "heard by " << host;
  }
  EXPECT_EQ(got.presses, want.presses);
}

INSTANTIATE_TEST_SUITE_P(Behaviour, Table, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return info.param.id; });

}  // namespace
}  // namespace trovik::behaviour
