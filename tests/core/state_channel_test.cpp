#include "core/agent_fixture.hpp"

namespace trovik::testing {
namespace {

class StateChannels : public AgentTest {};

TEST_F(StateChannels, NewClientIsStartedListedReceivingAndGivenAChannelToItsHost) {
  const auto c = connect("192.168.1.20", 53000);
  EXPECT_EQ(c.flow->startCount(), 1);
  EXPECT_TRUE(c.flow->hasPendingReceive());
  EXPECT_THAT(delegate->clientConnections(), ElementsAre(c.flow));
  ASSERT_TRUE(c.channel);
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(c.channel));
  const Endpoint to = c.channel->endpoint();
  EXPECT_EQ(to.kind, Endpoint::Kind::hostPort);
  EXPECT_EQ(to.port, 9877);
  EXPECT_EQ(to.host.address, c.flow->endpoint().host.address);  // the very host, not re-parsed
  EXPECT_TRUE(c.channel->parameters().includePeerToPeer);
  EXPECT_EQ(c.channel->startCount(), 1);
  EXPECT_THAT(c.channel->datagrams(), IsEmpty());  // nothing before ready
  EXPECT_THAT(
      lines(),
      ElementsAre("Trovik: New client from 192.168.1.20, creating state channel on port 9877"));
}

struct OpeningCase {
  std::optional<std::string> frontmost;
  bool trusted;
  std::vector<std::string> expected;
};

TEST_F(StateChannels, OpeningSequenceCarriesTheEditorPairThenThePermissionAtThatMoment) {
  const OpeningCase cases[] = {
      {std::nullopt, false, {"fcp:inactive", "app:inactive", "ax:denied"}},
      {"com.apple.FinalCut", true, {"fcp:active", "app:active:com.apple.FinalCut", "ax:granted"}},
      {"com.adobe.premierepro",
       true,
       {"fcp:inactive", "app:active:com.adobe.premierepro", "ax:granted"}},
      {"com.blackmagic-design.davinci-resolve",
       false,
       {"fcp:inactive", "app:active:com.blackmagic-design.davinci-resolve", "ax:denied"}},
  };
  int host = 1;
  for (const auto& oc : cases) {
    delegate->updateActiveEditor(oc.frontmost);
    fake.trust.set(oc.trusted);
    const auto c = connectReady("10.0.0." + std::to_string(host++));
    EXPECT_EQ(c.channel->datagrams(), oc.expected);
  }
}

TEST_F(StateChannels, EveryTransitionToReadySendsItAgainAndOtherStatesOnlyLog) {
  const auto c = connect("10.0.0.9");
  c.channel->reportState({ConnectionState::Kind::preparing, std::nullopt});
  c.channel->becomeReady();
  c.channel->reportState({ConnectionState::Kind::waiting, fakes::makeError("Network is down")});
  fake.settle();
  fake.trust.set(false);
  c.channel->becomeReady();
  fake.settle();
  EXPECT_THAT(c.channel->datagrams(), ElementsAre("fcp:inactive", "app:inactive", "ax:granted",
                                                  "fcp:inactive", "app:inactive", "ax:denied"));
  EXPECT_THAT(fake.log.linesStartingWith("Trovik: State connection"),
              ElementsAre("Trovik: State connection to 10.0.0.9 → preparing",
                          "Trovik: State connection to 10.0.0.9 → ready",
                          "Trovik: State connection to 10.0.0.9 → waiting(Network is down)",
                          "Trovik: State connection to 10.0.0.9 → ready"));
}

TEST_F(StateChannels, FailedChannelIsLoggedKeptAndSkipped) {
  const auto c = connect("10.0.0.9");
  c.channel->reportState({ConnectionState::Kind::failed, fakes::makeError("Connection refused")});
  fake.settle();
  delegate->broadcastState("key:fired");
  EXPECT_THAT(fake.log.linesStartingWith("Trovik: State connection"),
              ElementsAre("Trovik: State connection to 10.0.0.9 → failed(Connection refused)"));
  EXPECT_THAT(delegate->stateConnections(), ElementsAre(c.channel));
  EXPECT_EQ(c.channel->cancelCount(), 0);
  EXPECT_THAT(c.channel->datagrams(), IsEmpty());
}

TEST_F(StateChannels, TwoFlowsFromOneHostAreTwoClientsWithTwoChannels) {
  const auto a = connectReady("10.0.0.4", 1111);
  const auto b = connectReady("10.0.0.4", 2222);
  EXPECT_NE(a.channel, b.channel);
  EXPECT_EQ(fake.log.linesStartingWith("Trovik: New client from 10.0.0.4").size(), 2u);
  delegate->broadcastState("key:fired");
  EXPECT_EQ(a.channel->datagrams().back(), "key:fired");
  EXPECT_EQ(b.channel->datagrams().back(), "key:fired");
  EXPECT_EQ(delegate->clientConnections().size(), 2u);
}

TEST_F(StateChannels, EndpointWithoutHostIsServedButGetsNoChannel) {
  startListener();
  auto flow = fake.network.listener()->connect(Endpoint::other("unix:/run/tablet.sock"));
  fake.settle();
  EXPECT_THAT(lines(), ElementsAre("Trovik: New client connected but could not extract host from "
                                   "unix:/run/tablet.sock"));
  EXPECT_THAT(fake.network.channels(), IsEmpty());
  EXPECT_THAT(delegate->clientConnections(), ElementsAre(flow));
  ASSERT_TRUE(flow->completeReceive(bytes("a")));
  fake.settle();
  EXPECT_EQ(fake.keyboard.presses().size(), 1u);
}

TEST_F(StateChannels, GoneDelegateStartsTheFlowButRegistersNothing) {
  const auto listener = startListener();
  delegate.reset();
  auto flow = listener->connect(peer("10.0.0.3", 5));
  fake.settle();
  EXPECT_EQ(flow->startCount(), 1);
  EXPECT_FALSE(flow->hasPendingReceive());
  EXPECT_THAT(fake.network.channels(), IsEmpty());
  EXPECT_THAT(lines(),
              ElementsAre("Trovik: New client from 10.0.0.3, creating state channel on port 9877"));
}

TEST_F(StateChannels, ReadyAfterTheDelegateIsGoneSendsNothing) {
  const auto c = connect("10.0.0.3");
  delegate.reset();
  c.channel->becomeReady();
  fake.settle();
  EXPECT_THAT(c.channel->datagrams(), IsEmpty());
  EXPECT_THAT(fake.log.linesStartingWith("Trovik: State connection"),
              ElementsAre("Trovik: State connection to 10.0.0.3 → ready"));
}

class Listening : public AgentTest {};

TEST_F(Listening, AdvertisesTheComputerNameOnTheCommandPort) {
  const auto listener = startListener();
  ASSERT_TRUE(listener);
  EXPECT_EQ(fake.network.listenerPort(), 9876);
  EXPECT_TRUE(fake.network.listenerParameters().includePeerToPeer);
  ASSERT_TRUE(listener->service());
  EXPECT_EQ(listener->service()->name, "Studio Mac");
  EXPECT_EQ(listener->service()->type, "_trovik._udp.");
  EXPECT_EQ(listener->service()->domain, "local.");
  EXPECT_TRUE(listener->started());
  EXPECT_EQ(delegate->listener(), listener);
  EXPECT_EQ(delegate->advertiser(), nullptr);
  EXPECT_THAT(lines(), IsEmpty());  // ready comes later, from the platform
}

TEST_F(Listening, FallsBackToMacWithoutAComputerName) {
  fake.hostInfo.name = std::nullopt;
  EXPECT_EQ(startListener()->service()->name, "Mac");
}

TEST_F(Listening, ReadyLineAtEveryTransitionToReadyAndOneLineOnFailure) {
  const auto listener = startListener();
  using K = ListenerState::Kind;
  for (auto state :
       {ListenerState{K::setup, {}}, ListenerState{K::waiting, fakes::makeError("down")},
        ListenerState{K::ready, {}}, ListenerState{K::waiting, fakes::makeError("down")},
        ListenerState{K::ready, {}},
        ListenerState{K::failed, fakes::makeError("Address already in use")},
        ListenerState{K::cancelled, {}}}) {
    listener->reportState(state);
  }
  fake.settle();
  EXPECT_THAT(lines(), ElementsAre("Trovik: Listening and advertising as Bonjour service",
                                   "Trovik: Listening and advertising as Bonjour service",
                                   "Trovik: Listener failed: Address already in use"));
  EXPECT_EQ(delegate->listener(), listener);  // kept, never retried
}

TEST_F(Listening, CreationFailureIsOneLineAndNoListener) {
  fake.network.failListenerCreation(fakes::makeError("Invalid argument"));
  delegate->startListener();
  EXPECT_THAT(lines(), ElementsAre("Trovik: Failed to create listener: Invalid argument"));
  EXPECT_EQ(delegate->listener(), nullptr);
  EXPECT_EQ(fake.hostInfo.queries, 0);  // nothing advertised
}

}  // namespace
}  // namespace trovik::testing
