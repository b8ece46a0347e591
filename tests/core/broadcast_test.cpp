#include "core/agent_fixture.hpp"

namespace trovik::testing {
namespace {

class Broadcast : public AgentTest {};

TEST_F(Broadcast, ReachesOnlyReadyChannelsInListOrderAndCountsThemAll) {
  const auto first = connectReady("10.0.0.1");
  const auto second = connect("10.0.0.2");  // still setting up
  const auto third = connectReady("10.0.0.3");
  second.channel->reportState({ConnectionState::Kind::failed, fakes::makeError("refused")});
  fake.settle();
  fake.log.clear();
  const auto before1 = first.channel->datagrams().size();

  delegate->broadcastState("key:fired");
  delegate->broadcastState("fcp:inactive");
  fake.settle();

  EXPECT_THAT(lines(), ElementsAre("Trovik: Broadcasting 'key:fired' to 3 state clients",
                                   "Trovik: Broadcasting 'fcp:inactive' to 3 state clients"));
  auto sent = first.channel->datagrams();
  EXPECT_THAT(std::vector<std::string>(sent.begin() + before1, sent.end()),
              ElementsAre("key:fired", "fcp:inactive"));
  EXPECT_THAT(second.channel->datagrams(), IsEmpty());
  EXPECT_EQ(third.channel->datagrams().back(), "fcp:inactive");
  EXPECT_EQ(delegate->stateConnections().size(), 3u);  // a skipped channel stays listed
}

TEST_F(Broadcast, PayloadIsTheBareBytesSharedByEverySend) {
  const auto a = connectReady("10.0.0.1");
  const auto b = connectReady("10.0.0.2");
  delegate->broadcastState("key:fired");
  const auto pa = a.channel->payloads().back();
  const auto pb = b.channel->payloads().back();
  EXPECT_EQ(*pa, bytes("key:fired"));
  EXPECT_EQ(pa->size(), 9u);
  EXPECT_EQ(pa, pb);  // encoded once
}

TEST_F(Broadcast, WithNoChannelsLogsZeroAndSendsNothing) {
  delegate->broadcastState("ax:denied");
  EXPECT_THAT(lines(), ElementsAre("Trovik: Broadcasting 'ax:denied' to 0 state clients"));
}

TEST_F(Broadcast, EachFailedSendIsLoggedAndTheChannelIsTriedAgainLater) {
  const auto a = connectReady("10.0.0.1");
  const auto b = connectReady("10.0.0.2");
  a.channel->setSendOutcome(fakes::makeError("No route to host"));
  b.channel->setSendOutcome(fakes::makeError("Message too long"));
  fake.log.clear();
  delegate->broadcastState("key:fired");
  fake.settle();
  a.channel->setSendOutcome(std::nullopt);
  delegate->broadcastState("key:fired");
  fake.settle();
  EXPECT_THAT(lines(), ElementsAre("Trovik: Broadcasting 'key:fired' to 2 state clients",
                                   "Trovik: broadcast error — No route to host",
                                   "Trovik: broadcast error — Message too long",
                                   "Trovik: Broadcasting 'key:fired' to 2 state clients",
                                   "Trovik: broadcast error — Message too long"));
  EXPECT_EQ(delegate->stateConnections().size(), 2u);
}

class Removal : public AgentTest {};

TEST_F(Removal, DropsTheFlowAndItsOwnChannelAndSparesTheHostsOtherClients) {
  const auto x1 = connectReady("10.0.0.5", 1000);
  const auto y = connectReady("10.0.0.6", 1000);
  const auto x2 = connectReady("10.0.0.5", 2000);  // second flow from the same host
  const auto z = connectReady("10.0.0.50", 1000);  // a host text that merely starts alike

  delegate->removeClient(x1.flow);
  fake.settle();
  EXPECT_THAT(delegate->clientConnections(), ElementsAre(y.flow, x2.flow, z.flow));
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(y.channel, x2.channel, z.channel));
  EXPECT_EQ(x1.channel->cancelCount(), 1);
  EXPECT_EQ(x2.channel->cancelCount() + y.channel->cancelCount() + z.channel->cancelCount(), 0);
  EXPECT_EQ(x1.flow->cancelCount(), 0);

  // The other tablet on that host still hears that its commands were handled.
  send(x2, "a");
  EXPECT_EQ(fake.keyboard.presses().size(), 1u);
  EXPECT_EQ(x2.channel->datagrams().back(), "key:fired");

  delegate->removeClient(x2.flow);
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(y.channel, z.channel));
  EXPECT_EQ(x2.channel->cancelCount(), 1);
}

TEST_F(Removal, MatchesHostTextsExactlyAndLeavesHostlessChannelsAlone) {
  const auto v4 = connectReady("127.0.0.1");
  const auto v6 = connectReady("::1");
  delegate->removeClient(v6.flow);
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(v4.channel));
  EXPECT_EQ(v4.channel->cancelCount(), 0);
}

TEST_F(Removal, UnlistedOrHostlessClients) {
  const auto a = connectReady("10.0.0.1");
  // A flow the agent never listed takes the channels of its host only when no client of that
  // host is left.
  auto stranger = std::make_shared<FakeConnection>(peer("10.0.0.1", 9));
  delegate->removeClient(stranger);
  EXPECT_THAT(delegate->clientConnections(), ElementsAre(a.flow));
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(a.channel));
  auto gone = std::make_shared<FakeConnection>(peer("10.0.0.3", 9));
  const auto c = connectReady("10.0.0.3");
  delegate->removeClient(c.flow);
  delegate->removeClient(gone);  // its host has no client left: nothing more to take
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(a.channel));

  // A flow without a host leaves only the client list.
  const auto b = connectReady("10.0.0.2");
  auto hostless = fake.network.listener()->connect(Endpoint::other("unix:/tmp/sock"));
  fake.settle();
  delegate->removeClient(hostless);
  EXPECT_THAT(delegate->clientConnections(), ElementsAre(a.flow, b.flow));
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(a.channel, b.channel));
}

TEST_F(Removal, GoneDelegateDoesNothing) {
  const auto a = connectReady("10.0.0.1");
  std::weak_ptr<AppDelegate> weak = delegate;
  // Removal comes only through the receive loop, which finds the delegate gone.
  delegate.reset();
  EXPECT_TRUE(weak.expired());
  ASSERT_TRUE(a.flow->completeReceive(std::nullopt, fakes::makeError("x")));
  fake.settle();
  EXPECT_EQ(a.channel->cancelCount(), 0);
}

}  // namespace
}  // namespace trovik::testing
