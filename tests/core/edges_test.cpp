// What the table of tablet scripts cannot make happen: a listener that fails, a client with
// no host, sends that fail, a channel that gets ready twice, and an agent that is gone while
// the network still calls back.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/app_delegate.hpp"
#include "fakes/fakes.hpp"

namespace trovik {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Kind = ConnectionState::Kind;

class Edges : public ::testing::Test {
 protected:
  Edges() : delegate(AppDelegate::create(fake.platform())) {}
  std::shared_ptr<fakes::FakeListener> listen() {
    delegate->startListener();
    return fake.network.listener;
  }

  fakes::FakePlatform fake;
  std::shared_ptr<AppDelegate> delegate;
};

TEST_F(Edges, EveryListenerStateThatMattersSaysOneLineAndNothingMore) {
  fake.network.listenerError = "Address family not supported by protocol";
  delegate->startListener();
  EXPECT_EQ(delegate->listener(), nullptr);
  fake.network.listenerError.reset();
  fake.hostInfo.name.reset();
  const auto listener = listen();
  EXPECT_EQ(listener->service->name, "Mac");
  EXPECT_EQ(listener->service->type, "_trovik._udp.");
  for (auto kind : {ListenerState::Kind::setup, ListenerState::Kind::ready,
                    ListenerState::Kind::waiting, ListenerState::Kind::ready}) {
    listener->reportState(kind);
  }
  listener->reportState(ListenerState::Kind::failed, "Address already in use");
  fake.settle();
  EXPECT_THAT(fake.log.lines(),
              ElementsAre("Trovik: Failed to create listener: Address family not supported by "
                          "protocol",
                          "Trovik: Listening and advertising as Bonjour service",
                          "Trovik: Listening and advertising as Bonjour service",
                          "Trovik: Listener failed: Address already in use"));
  EXPECT_EQ(delegate->listener(), listener);  // kept, never retried
}

TEST_F(Edges, AClientWithoutAHostIsServedButNeverHearsAnything) {
  const auto flow = listen()->connect(Endpoint::other("unix:/run/tablet"));
  fake.settle();
  flow->completeReceive("a");
  fake.settle();
  EXPECT_THAT(delegate->clientConnections(), ElementsAre(flow));
  EXPECT_THAT(fake.network.channels, IsEmpty());
  EXPECT_THAT(
      fake.log.lines(),
      ElementsAre("Trovik: New client connected but could not extract host from "
                  "unix:/run/tablet",
                  "Trovik: Received 'a'", "Trovik: Broadcasting 'key:fired' to 0 state clients"));
  delegate->removeClient(flow);
  EXPECT_THAT(delegate->clientConnections(), IsEmpty());
}

TEST_F(Edges, FailedSendsAreLoggedAndEveryReadyStateReopens) {
  const auto flow = listen()->connect("10.0.0.7", 5000);
  fake.settle();
  const auto channel = fake.network.channels.at(0);
  channel->reportState(Kind::ready);
  fake.settle();
  channel->sendError = "No buffer space available";
  delegate->broadcastState("key:fired");
  delegate->broadcastState("key:fired");  // tried again: the channel is still ready
  channel->reportState(Kind::waiting, "Network is down");
  fake.trust.trusted = false;
  channel->reportState(Kind::ready);  // opening errors are not logged
  fake.settle();
  const auto lines = fake.log.lines();
  EXPECT_THAT(std::vector(lines.begin() + 2, lines.end()),
              ElementsAre("Trovik: Broadcasting 'key:fired' to 1 state clients",
                          "Trovik: Broadcasting 'key:fired' to 1 state clients",
                          "Trovik: broadcast error — No buffer space available",
                          "Trovik: broadcast error — No buffer space available",
                          "Trovik: State connection to 10.0.0.7 → waiting(Network is down)",
                          "Trovik: State connection to 10.0.0.7 → ready"));
  EXPECT_THAT(channel->datagrams(),
              ElementsAre("fcp:inactive", "app:inactive", "ax:granted", "key:fired", "key:fired",
                          "fcp:inactive", "app:inactive", "ax:denied"));
  EXPECT_EQ(delegate->stateConnections().size(), 1u);
}

TEST_F(Edges, WhenTheAgentIsGoneCallbacksOnlyLogWhatArrives) {
  const auto listener = listen();
  const auto known = listener->connect("10.0.0.1", 1);
  fake.settle();
  const auto channel = fake.network.channels.at(0);
  delegate.reset();  // on the main thread: gone at once
  const auto late = listener->connect("10.0.0.2", 2);
  known->completeReceive("SPACE");
  channel->reportState(Kind::ready);
  fake.settle();
  EXPECT_THAT(
      fake.log.lines(),
      ElementsAre("Trovik: New client from 10.0.0.1, creating state channel on port 9877",
                  "Trovik: New client from 10.0.0.2, creating state channel on port 9877",
                  "Trovik: Received 'SPACE'", "Trovik: State connection to 10.0.0.1 → ready"));
  EXPECT_THAT(fake.keyboard.presses(), IsEmpty());
  EXPECT_THAT(channel->datagrams(), IsEmpty());
  EXPECT_EQ(fake.network.channels.size(), 1u);    // none for the late client
  EXPECT_FALSE(known->completeReceive("again"));  // no receive armed any more
  EXPECT_FALSE(late->completeReceive("x"));
}

}  // namespace
}  // namespace trovik
