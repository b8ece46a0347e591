// The Asio network backend on real loopback sockets with ephemeral ports.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "fakes/fake_work_queue.hpp"
#include "platform/linux/net/asio_flow.hpp"
#include "platform/linux/net/asio_listener.hpp"
#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/asio_work_queue.hpp"
#include "platform/linux/net/socket_address.hpp"
#include "support/mailbox.hpp"
#include "support/udp_peer.hpp"

namespace trovik {
namespace {

using test::Mailbox;
using test::UdpPeer;
using Kind = ConnectionState::Kind;

class RecordingAdvertiser final : public ServiceAdvertiser {
 public:
  void advertise(const ServiceDescription& service, std::uint16_t port) override {
    events.put("advertise " + service.name + " " + service.type + " " + service.domain);
    ports.put(port);
  }
  void withdraw() override { events.put("withdraw"); }
  Mailbox<std::string> events;
  Mailbox<std::uint16_t> ports;
};

using Texts = std::shared_ptr<Mailbox<std::string>>;

// Receives on `connection` until an error, handing each datagram or error text to `out`.
// Like the agent's own loop, the completion holds the connection.
void receiveAll(const std::shared_ptr<Connection>& connection, Texts out) {
  connection->receiveMessage(
      [connection, out](std::optional<Bytes> content, std::optional<NetworkError> error) {
        if (content) out->put(std::string(content->begin(), content->end()));
        if (error) {
          out->put("error: " + error->description);
          return;
        }
        receiveAll(connection, out);
      });
}

Texts recordStates(Connection& connection) {
  auto states = std::make_shared<Mailbox<std::string>>();
  connection.setStateHandler([states](const ConnectionState& s) { states->put(s.description()); });
  return states;
}

class AsioNetworkTest : public ::testing::Test {
 protected:
  void TearDown() override {
    network.shutdown();
    queue.join();
  }

  // A listener started on an ephemeral port; its flows go to `flows`.
  std::shared_ptr<Listener> listen(WorkQueue& on) {
    auto made = network.makeListener(0, {});
    EXPECT_TRUE(made.listener) << made.error.description;
    made.listener->setService({"Test Mac", "_trovik._udp.", "local."});
    made.listener->setNewConnectionHandler(
        [flows = flows](std::shared_ptr<Connection> c) { flows->put(c); });
    made.listener->setStateHandler(
        [states = listenerStates](const ListenerState& s) { states->put(s.description()); });
    made.listener->start(on);
    port = advertiser.ports.take().value_or(0);
    return made.listener;
  }
  std::shared_ptr<Listener> listen() { return listen(queue); }

  // Starts a flow and receives on it for ever; its datagrams and error go to the result.
  Texts startReceiving(const std::shared_ptr<Connection>& flow) {
    auto texts = std::make_shared<Mailbox<std::string>>();
    flow->start(queue);
    receiveAll(flow, texts);
    return texts;
  }

  // Starts a channel and expects it to become ready; its later states go to the result.
  Texts startReady(Connection& channel) {
    auto states = recordStates(channel);
    channel.start(queue);
    EXPECT_EQ(states->take(), "preparing");
    EXPECT_EQ(states->take(), "ready");
    return states;
  }

  std::shared_ptr<Connection> channelTo(const std::string& address, std::uint16_t to) {
    return network.makeConnection(
        Endpoint::hostPort(net::hostOf(asio::ip::make_address(address)), to), {});
  }

  RecordingAdvertiser advertiser;
  AsioWorkQueue queue{2};
  AsioNetwork network{advertiser};
  std::uint16_t port = 0;
  std::shared_ptr<Mailbox<std::shared_ptr<Connection>>> flows =
      std::make_shared<Mailbox<std::shared_ptr<Connection>>>();
  Texts listenerStates = std::make_shared<Mailbox<std::string>>();
};

TEST_F(AsioNetworkTest, ListenerBindsAdvertisesAndKeepsEachPeersDatagramsInOrder) {
  auto listener = listen();
  ASSERT_NE(port, 0);
  EXPECT_EQ(advertiser.events.take(), "advertise Test Mac _trovik._udp. local.");
  EXPECT_EQ(listenerStates->take(), "ready");

  UdpPeer a, b;
  for (const char* text : {"1", "2", "3"}) {
    a.sendTo(std::string("a") + text, port);
    b.sendTo(std::string("b") + text, port);
  }
  std::map<std::uint16_t, Texts> received;
  for (int i = 0; i < 2; ++i) {
    auto flow = flows->take();
    ASSERT_TRUE(flow);
    const Endpoint from = (*flow)->endpoint();
    EXPECT_EQ(from.host.description, "127.0.0.1");
    received[from.port] = startReceiving(*flow);
  }
  ASSERT_EQ(received.count(a.port()) + received.count(b.port()), 2u);
  for (auto [peer, prefix] : {std::pair{a.port(), "a"}, std::pair{b.port(), "b"}}) {
    for (const char* text : {"1", "2", "3"})
      EXPECT_EQ(received[peer]->take(), prefix + std::string(text));
  }
  EXPECT_EQ(flows->size(), 0u);  // one flow per peer, however many datagrams

  network.shutdown();
  EXPECT_EQ(advertiser.events.take(), "withdraw");
}

TEST_F(AsioNetworkTest, ManyPeersEachGetTheirOwnFlowInOrder) {
  auto listener = listen();
  constexpr int kPeers = 64, kRounds = 8;
  std::vector<std::unique_ptr<UdpPeer>> peers;
  for (int i = 0; i < kPeers; ++i) peers.push_back(std::make_unique<UdpPeer>());
  std::map<std::uint16_t, Texts> byPeer;
  for (int round = 0; round < kRounds; ++round) {
    for (auto& peer : peers) peer->sendTo(std::to_string(round), port);
    if (round == 0) {
      for (int i = 0; i < kPeers; ++i) {
        auto flow = flows->take();
        ASSERT_TRUE(flow);
        byPeer[(*flow)->endpoint().port] = startReceiving(*flow);
      }
    }
    // One round at a time, so that no burst outgrows the socket's receive buffer.
    for (auto& [peer, texts] : byPeer) ASSERT_EQ(texts->take(), std::to_string(round)) << peer;
  }
  EXPECT_EQ(byPeer.size(), static_cast<std::size_t>(kPeers));
}

TEST_F(AsioNetworkTest, PastTheFlowBoundTheFlowIdleLongestEndsAndItsPeerStartsAFreshOne) {
  auto listener = listen();
  const auto peerAddress = [](std::size_t i) {
    return "127.1." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
  };
  // One source port for every address: a peer that sends again is the same peer.
  const std::uint16_t sourcePort = UdpPeer(peerAddress(0)).port();
  const auto sendFrom = [&](std::size_t i, const std::string& text) {
    UdpPeer(peerAddress(i), sourcePort).sendTo(text, port);
  };
  std::vector<std::shared_ptr<Connection>> byPeer;
  for (std::size_t i = 0; i < AsioListener::kMaxFlows; ++i) {
    sendFrom(i, "hello");
    auto flow = flows->take();
    ASSERT_TRUE(flow) << i;
    ASSERT_EQ((*flow)->endpoint().host.description, peerAddress(i));
    byPeer.push_back(*flow);
  }
  auto evictedTexts = startReceiving(byPeer[1]);
  EXPECT_EQ(evictedTexts->take(), "hello");

  sendFrom(0, "still here");  // peer 0 is now the most recent; peer 1 idles longest
  sendFrom(AsioListener::kMaxFlows, "one too many");
  auto newest = flows->take();
  ASSERT_TRUE(newest);
  EXPECT_EQ((*newest)->endpoint().host.description, peerAddress(AsioListener::kMaxFlows));
  EXPECT_EQ(evictedTexts->take(), "error: Connection timed out");
  EXPECT_EQ(byPeer[1]->state().description(), "failed(Connection timed out)");
  EXPECT_EQ(byPeer[0]->state().kind, Kind::setup);  // not ended: never started, still live

  sendFrom(1, "back again");
  auto fresh = flows->take();
  ASSERT_TRUE(fresh);
  EXPECT_NE(*fresh, byPeer[1]);
  EXPECT_EQ((*fresh)->endpoint().host.description, peerAddress(1));
  EXPECT_EQ(startReceiving(*fresh)->take(), "back again");
}

TEST_F(AsioNetworkTest, CancelledFlowReportsCancelledAndItsPeerStartsAFreshFlow) {
  auto listener = listen();
  UdpPeer peer;
  peer.sendTo("first", port);
  auto flow = flows->take();
  ASSERT_TRUE(flow);
  auto states = recordStates(**flow);
  auto texts = startReceiving(*flow);
  EXPECT_EQ(states->take(), "ready");
  EXPECT_EQ(texts->take(), "first");

  (*flow)->cancel();
  EXPECT_EQ(states->take(), "cancelled");
  EXPECT_EQ(texts->take(), "error: Operation canceled");

  peer.sendTo("second", port);
  auto fresh = flows->take();
  ASSERT_TRUE(fresh);
  EXPECT_NE(*fresh, *flow);
}

TEST_F(AsioNetworkTest, ReceiveCompletesOnTheQueueNeverInsideTheCallThatArmedIt) {
  fakes::ManualWorkQueue manual;
  auto listener = listen(manual);
  UdpPeer peer;
  peer.sendTo("queued before the receive", port);
  std::shared_ptr<Connection> flow;
  ASSERT_TRUE(test::waitUntil([&] {
    manual.runAll();
    auto taken = flows->take(std::chrono::milliseconds(0));
    if (taken) flow = *taken;
    return flow != nullptr;
  }));
  flow->start(manual);
  std::optional<std::string> got;
  flow->receiveMessage([&got](std::optional<Bytes> content, std::optional<NetworkError>) {
    got = content ? std::string(content->begin(), content->end()) : "no content";
  });
  EXPECT_FALSE(got);
  ASSERT_TRUE(test::waitUntil([&] {
    manual.runAll();
    return got.has_value();
  }));
  EXPECT_EQ(*got, "queued before the receive");
  network.shutdown();
  manual.runAll();
}

TEST_F(AsioNetworkTest, ListenerReportsAPortInUseAsFailedAndAdvertisesNothing) {
  UdpPeer occupant("::", 0);
  auto made = network.makeListener(occupant.port(), {});
  ASSERT_TRUE(made.listener);
  made.listener->setService({"Test Mac", "_trovik._udp.", "local."});
  made.listener->setStateHandler(
      [states = listenerStates](const ListenerState& s) { states->put(s.description()); });
  made.listener->start(queue);
  EXPECT_EQ(listenerStates->take(), "failed(Address already in use)");
  EXPECT_EQ(advertiser.events.size(), 0u);
}

TEST_F(AsioNetworkTest, ChannelBecomesReadyAndSendsBareDatagrams) {
  UdpPeer client;
  auto channel = channelTo("127.0.0.1", client.port());
  EXPECT_EQ(channel->state().description(), "setup");
  startReady(*channel);

  auto sent = std::make_shared<Mailbox<std::string>>();
  for (const char* text : {"fcp:inactive", "app:inactive", "ax:granted"}) {
    channel->send(std::make_shared<const Bytes>(text, text + std::strlen(text)),
                  [sent](std::optional<NetworkError> e) { sent->put(e ? e->description : "ok"); });
  }
  for (const char* text : {"fcp:inactive", "app:inactive", "ax:granted"}) {
    EXPECT_EQ(client.receive(test::kPatience), text);
    EXPECT_EQ(sent->take(), "ok");
  }
}

TEST_F(AsioNetworkTest, ChannelFailsWhenThePortIsUnreachableAndCanStillBeCancelled) {
  const std::uint16_t closedPort = UdpPeer().port();  // bound, then closed again
  auto channel = channelTo("127.0.0.1", closedPort);
  auto states = startReady(*channel);
  const Bytes hello{'h', 'i'};
  channel->send(std::make_shared<const Bytes>(hello), [](std::optional<NetworkError>) {});
  EXPECT_EQ(states->take(), "failed(Connection refused)");

  auto sent = std::make_shared<Mailbox<std::string>>();
  channel->send(std::make_shared<const Bytes>(hello),
                [sent](std::optional<NetworkError> e) { sent->put(e ? e->description : "ok"); });
  EXPECT_EQ(sent->take(), "Connection refused");
  channel->cancel();
  EXPECT_EQ(states->take(), "cancelled");
}

TEST_F(AsioNetworkTest, CancelIsReportedEvenWhenNothingElseHoldsTheChannel) {
  UdpPeer client;
  auto channel = channelTo("127.0.0.1", client.port());
  std::weak_ptr<Connection> weak = channel;
  auto states = std::make_shared<Mailbox<std::string>>();
  // The agent's handler holds its channel weakly.
  channel->setStateHandler([states, weak](const ConnectionState& s) {
    states->put(s.description() + (weak.expired() ? "" : " (alive)"));
  });
  channel->start(queue);
  EXPECT_EQ(states->take(), "preparing (alive)");
  EXPECT_EQ(states->take(), "ready (alive)");
  channel->cancel();
  channel.reset();
  EXPECT_EQ(states->take(), "cancelled (alive)");
  EXPECT_TRUE(test::waitUntil([&] { return weak.expired(); }));
}

TEST_F(AsioNetworkTest, ChannelOpensToTheVeryHostAFlowCameFrom) {
  auto listener = listen();
  for (const std::string address : {"127.0.0.1", "::1"}) {
    UdpPeer client(address);
    client.sendTo("hello", port, address);
    auto flow = flows->take();
    ASSERT_TRUE(flow);
    const Host host = (*flow)->endpoint().host;
    EXPECT_EQ(host.description, address);

    auto channel = network.makeConnection(Endpoint::hostPort(host, client.port()), {});
    EXPECT_EQ(channel->endpoint().host.description, host.description);
    startReady(*channel);
    const Bytes text{'k', 'e', 'y'};
    channel->send(std::make_shared<const Bytes>(text), [](std::optional<NetworkError>) {});
    auto datagram = client.receiveFrom(test::kPatience);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->payload, "key");
    EXPECT_EQ(datagram->address, address);
  }
}

TEST_F(AsioNetworkTest, ShutdownDropsPendingCompletionsAndFreesWhatTheyHeld) {
  auto listener = listen();
  UdpPeer peer;
  peer.sendTo("hello", port);
  auto flow = flows->take();
  ASSERT_TRUE(flow);
  auto texts = startReceiving(*flow);
  EXPECT_EQ(texts->take(), "hello");  // and the next receive now waits, holding the flow
  std::weak_ptr<Connection> weakFlow = *flow;
  flow->reset();

  network.shutdown();
  queue.join();
  EXPECT_TRUE(weakFlow.expired());
  EXPECT_EQ(texts->size(), 0u);  // dropped, not called
  // Objects made after shutdown are closed from the start.
  auto late = channelTo("127.0.0.1", peer.port());
  late->start(queue);
  EXPECT_EQ(late->state().description(), "setup");
}

TEST_F(AsioNetworkTest, StateHandlerMayReleaseTheLastReferenceToItsChannel) {
  UdpPeer client;
  auto holder =
      std::make_shared<std::shared_ptr<Connection>>(channelTo("127.0.0.1", client.port()));
  auto done = std::make_shared<Mailbox<std::string>>();
  (*holder)->setStateHandler([holder, done](const ConnectionState& s) {
    if (!s.isReady()) return;
    (*holder)->send(std::make_shared<const Bytes>(Bytes{'x'}),
                    [holder, done](std::optional<NetworkError>) {
                      holder->reset();  // the send completion destroys its caller
                      done->put("released");
                    });
  });
  (*holder)->start(queue);
  EXPECT_EQ(done->take(), "released");
  EXPECT_EQ(client.receive(test::kPatience), "x");
}

}  // namespace
}  // namespace trovik

namespace trovik {
namespace {

// Everything a flow handed to its receiver, taking one datagram at a time as the agent does.
std::vector<std::string> drain(const std::shared_ptr<AsioFlow>& flow,
                               fakes::ManualWorkQueue& queue) {
  auto taken = std::make_shared<std::vector<std::string>>();
  std::weak_ptr<AsioFlow> weak = flow;
  auto next = std::make_shared<std::function<void()>>();
  *next = [weak, taken, next] {
    if (auto f = weak.lock()) {
      f->receiveMessage([taken, next](std::optional<Bytes> content, std::optional<NetworkError>) {
        if (content) taken->emplace_back(content->begin(), content->end());
        (*next)();
      });
    }
  };
  (*next)();
  queue.runAll();
  flow->shutdown();  // drops the receive still pending, and with it the loop
  *next = nullptr;
  return *taken;
}

TEST(AsioFlowQueue, WaitingDatagramsAreBoundedByMemoryKeepingTheOldestInOrder) {
  const asio::ip::udp::endpoint peer(asio::ip::make_address("127.0.0.1"), 5000);
  fakes::ManualWorkQueue queue;

  // A burst of short commands before the agent takes any: far more than a count of a few
  // hundred, and the first ones in their order.
  auto burst = std::make_shared<AsioFlow>(std::weak_ptr<AsioListener>(), peer);
  char text[32];
  for (int i = 0; i < 2000; ++i) {
    std::snprintf(text, sizeof text, "%010d", i);
    burst->deliver(Bytes(text, text + 10));
  }
  burst->start(queue);
  const auto taken = drain(burst, queue);
  const std::size_t fits = AsioFlow::kMaxQueuedBytes / (10 + AsioFlow::kQueuedDatagramOverhead);
  ASSERT_EQ(taken.size(), fits);
  EXPECT_GT(taken.size(), 800u);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    std::snprintf(text, sizeof text, "%010zu", i);
    ASSERT_EQ(taken[i], text);
  }

  // The largest datagrams: one always fits an empty queue, the next must wait its turn.
  auto large = std::make_shared<AsioFlow>(std::weak_ptr<AsioListener>(), peer);
  for (char fill : {'a', 'b', 'c'}) large->deliver(Bytes(65507, static_cast<std::uint8_t>(fill)));
  large->start(queue);
  const auto one = drain(large, queue);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], std::string(65507, 'a'));
}

}  // namespace
}  // namespace trovik
