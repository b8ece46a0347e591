// The Asio network backend: its bounds on what arrives, on a fake clock; its flows and
// channels on real loopback sockets in a network namespace of the test's own.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/flow_table.hpp"
#include "platform/linux/net/socket_address.hpp"
#include "support/mailbox.hpp"
#include "support/network_namespace.hpp"
#include "support/test_environment.hpp"
#include "support/udp_peer.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using test::Mailbox;
using test::UdpPeer;
using Texts = std::shared_ptr<Mailbox<std::string>>;

TEST(FlowTable, AdmitsNewPeersAtABoundedRateAndEvictsOnlyAFlowQuietForOverAMinute) {
  using Table = net::FlowTable<int, int>;
  Table::Clock::time_point now{};
  Table table([&] { return now; });
  int made = 0;  // flows are numbered as made; peer n gets flow n below
  const auto send = [&](Table::Clock::duration wait, int peer) {
    now += wait;
    auto routed = table.route(peer, [&] { return ++made; });
    if (!routed.flow) return std::string("drop");
    std::string result = (routed.isNew ? "new " : "flow ") + std::to_string(*routed.flow);
    return routed.evicted ? result + " evicting " + std::to_string(*routed.evicted) : result;
  };
  using Steps = std::vector<std::tuple<Table::Clock::duration, int, std::string>>;
  const auto run = [&](const Steps& steps) {
    for (const auto& [wait, peer, expected] : steps) EXPECT_EQ(send(wait, peer), expected) << peer;
  };
  for (int peer = 1; peer <= 8; ++peer) ASSERT_EQ(send(0s, peer), "new " + std::to_string(peer));
  run({{0s, 9, "drop"},    // past the burst of 8
       {0s, 1, "flow 1"},  // a known peer needs no token
       {100ms, 9, "drop"},
       {25ms, 9, "new 9"},  // 8 tokens a second
       {0s, 10, "drop"}});
  for (int peer = 10; made < 512; ++peer)
    ASSERT_EQ(send(125ms, peer), "new " + std::to_string(peer));
  // Full after 63 s: peer 2 has been quiet longest, for over a minute (peer 1 sent after it).
  run({{125ms, 1000, "new 513 evicting 2"}});
  for (int peer = 3; peer <= 512; ++peer) send(0s, peer);  // in this order
  run({{0s, 1, "flow 1"},
       {0s, 1000, "flow 513"},
       {1s, 1001, "drop"},  // every flow sent within the minute
       {29s, 3, "flow 3"},
       {30s, 1001, "drop"},                // a minute exactly, not over it
       {1ms, 1001, "new 514 evicting 4"},  // 3 sent since, so 4 is quiet longest
       {0s, 1002, "new 515 evicting 5"}});
}

class RecordingAdvertiser final : public ServiceAdvertiser {
 public:
  void advertise(const ServiceDescription& service, std::uint16_t port) override {
    events.put("advertise " + service.name);
    ports.put(port);
  }
  void withdraw() override { events.put("withdraw"); }
  Mailbox<std::string> events;
  Mailbox<std::uint16_t> ports;
};

// Receives on `connection` until an error, as the agent does: the completion holds the
// connection and re-arms. Each datagram or error text goes to `out`.
void receiveAll(const std::shared_ptr<Connection>& connection, Texts out) {
  static thread_local bool arming = false;
  arming = true;
  connection->receiveMessage(
      [connection, out](std::optional<Bytes> content, std::optional<NetworkError> error) {
        if (arming) out->put("completed inside receiveMessage");
        if (content) out->put(std::string(content->begin(), content->end()));
        if (error) return out->put("error: " + error->description);
        receiveAll(connection, out);
      });
  arming = false;
}

SharedBytes bytes(std::string_view text) {
  return std::make_shared<const Bytes>(text.begin(), text.end());
}

std::size_t openDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

class AsioNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = test::enterNetworkNamespace();
    TROVIK_REQUIRE_ENVIRONMENT(why.empty(), why);
    network = std::make_unique<AsioNetwork>(advertiser);
  }
  void TearDown() override {
    if (network) network->shutdown();
  }

  // Starts a listener on `on` (0: any port): its flows go to `flows`, its states to
  // `listenerStates`. The port it is advertised on, once bound.
  std::uint16_t listen(std::uint16_t on = 0) {
    auto made = network->makeListener(on, {});
    EXPECT_TRUE(made.listener) << made.error.description;
    made.listener->setService({"Test Mac", "_trovik._udp.", "local."});
    made.listener->setNewConnectionHandler(
        [flows = flows](std::shared_ptr<Connection> c) { flows->put(c); });
    made.listener->setStateHandler(
        [states = listenerStates](const ListenerState& s) { states->put(s.description()); });
    made.listener->start(network->workQueue());
    listeners.push_back(made.listener);
    if (on != 0) return on;
    EXPECT_EQ(advertiser.events.take(), "advertise Test Mac");
    return advertiser.ports.take().value_or(0);
  }
  Texts startReceiving(const std::shared_ptr<Connection>& flow) {
    auto texts = std::make_shared<Mailbox<std::string>>();
    flow->start(network->workQueue());
    receiveAll(flow, texts);
    return texts;
  }
  std::shared_ptr<Connection> channelTo(std::uint16_t port) {
    auto host = net::hostOf(asio::ip::make_address("127.0.0.1"));
    return network->makeConnection(Endpoint::hostPort(host, port), {});
  }

  RecordingAdvertiser advertiser;
  std::unique_ptr<AsioNetwork> network;  // before what it makes, so that it goes last
  std::shared_ptr<Mailbox<std::shared_ptr<Connection>>> flows =
      std::make_shared<Mailbox<std::shared_ptr<Connection>>>();
  Texts listenerStates = std::make_shared<Mailbox<std::string>>();
  std::vector<std::shared_ptr<Listener>> listeners;
};

TEST_F(AsioNetworkTest, ListenerGivesEachPeerOneFlowInArrivalOrderAndANewOneAfterCancel) {
  const std::uint16_t port = listen();
  EXPECT_EQ(listenerStates->take(), "ready");
  // As many new peers as are admitted at once, all sending together, read by both threads.
  constexpr int kPeers = 8, kDatagrams = 50;
  std::vector<std::unique_ptr<UdpPeer>> peers;
  for (int i = 0; i < kPeers; ++i) peers.push_back(std::make_unique<UdpPeer>());
  for (int n = 0; n < kDatagrams; ++n) {
    for (auto& peer : peers) peer->sendTo(std::to_string(n), port);
  }
  std::map<std::uint16_t, std::pair<std::shared_ptr<Connection>, Texts>> byPeer;
  for (int i = 0; i < kPeers; ++i) {
    auto flow = flows->take();
    ASSERT_TRUE(flow);
    EXPECT_EQ((*flow)->endpoint().host.description, "127.0.0.1");
    byPeer[(*flow)->endpoint().port] = {*flow, startReceiving(*flow)};
  }
  ASSERT_EQ(byPeer.size(), std::size_t{kPeers});
  for (auto& [peer, flow] : byPeer) {
    for (int n = 0; n < kDatagrams; ++n) ASSERT_EQ(flow.second->take(), std::to_string(n));
  }
  EXPECT_EQ(flows->size(), 0u);

  auto& [cancelled, texts] = byPeer[peers[0]->port()];
  cancelled->cancel();
  EXPECT_EQ(texts->take(), "error: Operation canceled");
  std::optional<std::shared_ptr<Connection>> fresh;  // a new peer again: it waits for a token
  for (int tries = 0; !fresh && tries < 200; ++tries) {
    peers[0]->sendTo("again", port);
    fresh = flows->take(50ms);
  }
  ASSERT_TRUE(fresh);
  EXPECT_NE(*fresh, cancelled);
  EXPECT_EQ(startReceiving(*fresh)->take(), "again");

  UdpPeer occupant("::", 0);  // a listener on a port in use fails, advertising nothing
  listen(occupant.port());
  EXPECT_EQ(listenerStates->take(), "failed(Address already in use)");
  network->shutdown();
  EXPECT_EQ(advertiser.events.take(), "withdraw");
  EXPECT_EQ(advertiser.events.size(), 0u);
}

TEST_F(AsioNetworkTest, ChannelIsReadyOnlyOnceItsReadyHandlerHasSentAndCancelFreesItAtOnce) {
  UdpPeer client;
  auto channel = channelTo(client.port());
  auto states = std::make_shared<Mailbox<std::string>>();
  // As the agent's opening sequence: sent from the ready handler, which holds it weakly.
  channel->setStateHandler([states, weak = std::weak_ptr(channel)](const ConnectionState& s) {
    auto self = weak.lock();
    states->put(s.description() + ", state() " + (self ? self->state().description() : "gone"));
    if (!s.isReady() || !self) return;
    for (const char* text : {"fcp:inactive", "app:inactive", "ax:granted"}) {
      self->send(bytes(text), [states](std::optional<NetworkError> e) {
        states->put(e ? e->description : "sent");
      });
    }
  });
  const std::size_t before = openDescriptors();
  channel->start(network->workQueue());
  EXPECT_EQ(states->take(), "preparing, state() setup");
  EXPECT_EQ(states->take(), "ready, state() preparing");
  for (const char* text : {"fcp:inactive", "app:inactive", "ax:granted"}) {
    EXPECT_EQ(client.receive(test::kPatience), text);
    EXPECT_EQ(states->take(), "sent");
  }
  EXPECT_TRUE(channel->state().isReady());
  EXPECT_EQ(openDescriptors(), before + 1);
  channel->cancel();
  EXPECT_EQ(openDescriptors(), before);
  channel.reset();  // the report still comes, and the channel lives until it has run
  EXPECT_EQ(states->take(), "cancelled, state() ready");
}

TEST_F(AsioNetworkTest, ChannelFailsWithTheRefusalOfAPortWhereNothingListens) {
  auto channel = channelTo(UdpPeer().port());  // a port bound, then closed again
  auto states = std::make_shared<Mailbox<std::string>>();
  channel->setStateHandler([states](const ConnectionState& s) { states->put(s.description()); });
  channel->start(network->workQueue());
  EXPECT_EQ(states->take(), "preparing");
  EXPECT_EQ(states->take(), "ready");
  const auto send = [&, sent = std::make_shared<Mailbox<std::string>>()] {
    channel->send(bytes("hi"), [sent](auto e) { sent->put(e ? e->description : "sent"); });
    return sent->take();
  };
  EXPECT_EQ(send(), "sent");
  EXPECT_EQ(states->take(), "failed(Connection refused)");
  EXPECT_EQ(send(), "Connection refused");
}

TEST_F(AsioNetworkTest, ShutdownDropsPendingCallbacksAndFreesWhatTheyHold) {
  UdpPeer peer;
  peer.sendTo("hello", listen());
  auto flow = flows->take();
  ASSERT_TRUE(flow);
  auto texts = startReceiving(*flow);
  EXPECT_EQ(texts->take(), "hello");  // the next receive now waits, holding the flow
  std::weak_ptr<Connection> weakFlow = *flow;
  flow->reset();
  // Every pool thread busy until shutdown begins, so that the channel's callbacks are still
  // queued then; its handler holds the channel.
  for (unsigned i = 0; i < AsioNetwork::defaultThreads(); ++i) {
    network->workQueue().async([&network = *network] {
      while (!network.stopped()) std::this_thread::sleep_for(1ms);
    });
  }
  auto channel = channelTo(peer.port());
  std::weak_ptr<Connection> weakChannel = channel;
  auto called = std::make_shared<std::atomic<int>>(0);
  channel->setStateHandler([channel, called](const ConnectionState&) { ++*called; });
  channel->start(network->workQueue());
  channel->send(bytes("x"), [called](auto) { ++*called; });
  channel.reset();

  network->shutdown();
  EXPECT_TRUE(weakFlow.expired());
  EXPECT_TRUE(weakChannel.expired());
  EXPECT_EQ(texts->size(), 0u);
  EXPECT_EQ(*called, 0);
}

}  // namespace
}  // namespace trovik
