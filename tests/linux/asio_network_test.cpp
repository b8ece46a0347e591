// The Asio network backend: its bounds on what arrives, on a fake clock; its flows and
// channels on real loopback sockets in a network namespace of the test's own.

#include <map>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/net/asio_network.hpp"
#include "platform/linux/net/flow_table.hpp"
#include "platform/linux/net/host_address.hpp"
#include "platform/linux/net/local_networks.hpp"
#include "support/mailbox.hpp"
#include "support/network_namespace.hpp"
#include "support/test_environment.hpp"
#include "support/udp_peer.hpp"

namespace trovik {

using namespace std::chrono_literals;
using test::Mailbox;
using Texts = std::shared_ptr<Mailbox<std::string>>;

// Peer 305 is port 5 of host 3.
struct HostOfPeer {
  int operator()(int peer) const { return peer / 100; }
};

// Each row: after `wait`, peers `first` to `last` send one datagram each, in turn, and the
// table routes each as the row says.
template <class Table>
using Rows = std::vector<std::tuple<typename Table::Clock::duration, int, int, std::string>>;
template <class Table>
void expectRoutes(Table& table, typename Table::Clock::time_point& now, const Rows<Table>& rows) {
  for (const auto& [wait, first, last, expected] : rows) {
    for (int peer = first; peer <= last; ++peer) {
      now += wait;
      const auto routed = table.route(peer, [&] { return peer; });
      std::string seen = !routed.flow ? "drop" : routed.isNew ? "new" : "flow";
      if (routed.flow && *routed.flow != peer) seen += " of " + std::to_string(*routed.flow);
      if (routed.evicted) seen += " evicting " + std::to_string(*routed.evicted);
      ASSERT_EQ(seen, expected) << "peer " << peer;
    }
  }
}

TEST(FlowTable, AdmitsNewPeersAtABoundedRateEvictsTheQuietAndHoldsEightFlowsAHost) {
  using Table = net::FlowTable<int, int>;
  Table::Clock::time_point now{};
  Table table([&] { return now; });
  // A burst of 8, then 8 a second; a known peer needs no token. Full after 63 s, when peer 2
  // has been quiet longest (1 sent after it), for over a minute. Then every flow has sent
  // within the minute, until 3 sends again and a minute and a bit passes: 4 goes, then 5.
  // clang-format off
  expectRoutes<Table>(table, now, {
      {0s, 1, 8, "new"}, {0s, 9, 9, "drop"}, {0s, 1, 1, "flow"}, {100ms, 9, 9, "drop"},
      {25ms, 9, 9, "new"}, {0s, 10, 10, "drop"}, {125ms, 10, 512, "new"},
      {125ms, 1000, 1000, "new evicting 2"}, {0s, 3, 512, "flow"}, {0s, 1, 1, "flow"},
      {0s, 1000, 1000, "flow"}, {1s, 1001, 1001, "drop"}, {29s, 3, 3, "flow"},
      {30s, 1001, 1001, "drop"}, {1ms, 1001, 1001, "new evicting 4"},
      {0s, 1002, 1002, "new evicting 5"}});
  // clang-format on

  // Host 1 fills its 8 after host 2's first; 101 and then 103 are its quietest as 102 speaks
  // again, whatever their idle time; host 2's quieter one is not touched, and the host's ninth
  // still needs a token.
  using HostTable = net::FlowTable<int, int, std::hash<int>, HostOfPeer>;
  HostTable hosts([&] { return now; });
  // clang-format off
  expectRoutes<HostTable>(hosts, now, {
      {0s, 201, 201, "new"}, {0s, 101, 107, "new"}, {0s, 108, 108, "drop"},
      {125ms, 108, 108, "new"}, {125ms, 109, 109, "new evicting 101"}, {0s, 102, 102, "flow"},
      {125ms, 110, 110, "new evicting 103"}, {0s, 101, 101, "drop"},
      {125ms, 101, 101, "new evicting 104"}, {125ms, 202, 202, "new"}, {0s, 201, 201, "flow"}});
  // clang-format on
  // Forgotten flows leave room: the host's ninth then evicts nothing.
  hosts.remove(105, 105);
  now += 125ms;
  EXPECT_FALSE(hosts.route(111, [] { return 111; }).evicted);
}

TEST(LocalNetworks, TakeLoopbackTheArrivalLinksPrefixesAndAllowedNetworksOnly) {
  using net::Prefix;
  const auto prefix = [](const char* address, unsigned short length) {
    return Prefix{asio::ip::make_address(address), length};
  };
  // 1 lo; 2 and 4 Ethernet; 3 a WireGuard tunnel.
  const net::InterfaceTable interfaces = {
      {1, true, false, {prefix("127.0.0.1", 8), prefix("::1", 128)}},
      {2, false, false, {prefix("192.168.1.5", 24), prefix("fd00:2::5", 64)}},
      {3, false, true, {prefix("10.7.0.2", 24)}},
      {4, false, false, {prefix("172.16.9.1", 12)}}};
  ::testing::internal::CaptureStderr();
  const auto allowed = net::parseAllowedNetworks(
      " 10.8.0.0/16, bogus,,10.0.0.0/33,fd00:1::/64 ,10.1.0.0/4294967304,10.2.0.0,fe80::%1/64,");
  flushDiagnostics(std::chrono::steady_clock::now() + 5s);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(allowed, (std::vector{prefix("10.8.0.0", 16), prefix("fd00:1::", 64)}));
  for (const char* entry : {"bogus", "10.0.0.0/33", "10.1.0.0/4294967304", "10.2.0.0"}) {
    EXPECT_NE(said.find("trovik-helper: network: allowedNetworks: ignoring \"" +
                        std::string(entry) + "\": not an address prefix"),
              std::string::npos)
        << said;
  }
  // clang-format off
  const std::vector<std::tuple<const char*, int, bool>> rows = {
      {"127.0.0.9", 1, true}, {"::1", 1, true}, {"::ffff:127.0.0.1", 1, true},
      {"192.168.1.5", 1, true},            // this computer, to its own address
      {"192.168.1.77", 2, true}, {"::ffff:192.168.1.77", 2, true}, {"fd00:2::9", 2, true},
      {"192.168.2.77", 2, false}, {"fd00:3::9", 2, false}, {"::ffff:192.168.2.77", 2, false},
      {"192.168.1.77", 4, false},          // another link's prefix
      {"192.168.1.77", 0, false},          // no interface known
      {"fe80::1", 2, true}, {"fe80::1", 4, true}, {"fe80::1", 3, false}, {"fe80::1", 9, false},
      {"10.7.0.9", 3, false},              // a tunnel's own prefix
      {"10.8.3.4", 3, true}, {"10.8.3.4", 2, true}, {"fd00:1::7", 3, true},
      {"10.1.2.3", 2, false}, {"10.8.3.4", 0, true}};
  // clang-format on
  for (const auto& [source, arrival, expected] : rows) {
    EXPECT_EQ(net::isSameNetwork(interfaces, allowed, asio::ip::make_address(source), arrival),
              expected)
        << source << " on " << arrival;
  }
}

struct RecordingAdvertiser final : ServiceAdvertiser {
  void advertise(const ServiceDescription& service, std::uint16_t port) override {
    events.put(service.name + " on " + std::to_string(port));
  }
  void withdraw() override {}
  Mailbox<std::string> events;
};

// Receives on `connection` until an error, as the agent does: the completion holds the
// connection and re-arms. Each datagram or error text goes to `out`.
static Texts receiveAll(const std::shared_ptr<Connection>& connection,
                        Texts out = std::make_shared<Mailbox<std::string>>()) {
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
  return out;
}

static void send(Connection& connection, const Texts& out) {
  connection.send(std::make_shared<const Bytes>(Bytes{'h', 'i'}),
                  [out](std::optional<NetworkError> e) { out->put(e ? e->description : "sent"); });
}

static std::size_t openDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

struct AsioNetworkTest : ::testing::Test {
  static constexpr std::uint16_t kPort = 50000;  // the namespace is the test's own

  void SetUp() override {
    const std::string why = test::enterNetworkNamespace();
    TROVIK_REQUIRE_ENVIRONMENT(why.empty(), why);
    network = std::make_unique<AsioNetwork>(advertiser);
    // Listens on kPort, handing its flows, started, to `flows`, and goes on once advertised.
    listener = network->makeListener(kPort, {}).listener;
    listener->setService({"Test Mac", "_trovik._udp.", "local."});
    listener->setNewConnectionHandler([flows = flows, &queue = network->workQueue()](auto c) {
      c->start(queue);
      flows->put(c);
    });
    listener->start(network->workQueue());
    EXPECT_EQ(advertiser.events.take(), "Test Mac on 50000");
  }
  RecordingAdvertiser advertiser;
  std::unique_ptr<AsioNetwork> network;  // before what it makes, so that it goes last
  std::shared_ptr<Mailbox<std::shared_ptr<Connection>>> flows =
      std::make_shared<Mailbox<std::shared_ptr<Connection>>>();
  std::shared_ptr<Listener> listener;
};

TEST_F(AsioNetworkTest, EachPeerHasOneFlowInArrivalOrderWithinItsQueueAndANewOneAfterCancel) {
  // As many new peers as are admitted at once, all sending together, read by both threads.
  test::UdpPeer peers[8];
  for (int n = 0; n < 50; ++n)
    for (auto& peer : peers) peer.sendTo(std::to_string(n), kPort);
  std::map<std::uint16_t, std::pair<std::shared_ptr<Connection>, Texts>> byPeer;
  for (std::size_t i = 0; i < std::size(peers); ++i) {
    const auto flow = flows->take().value();  // throws when none comes
    byPeer[flow->endpoint().port] = {flow, receiveAll(flow)};
  }
  for (auto& p : peers)
    for (int n = 0; n < 50; ++n) ASSERT_EQ(byPeer.at(p.port()).second->take(), std::to_string(n));

  auto& [cancelled, texts] = byPeer[peers[0].port()];
  cancelled->cancel();
  EXPECT_EQ(texts->take(), "error: Operation canceled");
  std::optional<std::shared_ptr<Connection>> fresh;  // a new peer again: it waits for a token
  ASSERT_TRUE(test::waitUntil([&] {
    peers[0].sendTo("again", kPort);
    return (fresh = flows->take(50ms)).has_value();
  }));
  EXPECT_NE(*fresh, cancelled);
  // More than the queue holds, all read before the receive: the oldest stay, the newest go.
  for (int n = 0; n < 50; ++n) peers[0].sendTo(std::to_string(n).append(2000, '.'), kPort);
  peers[1].sendTo("after them", kPort);
  EXPECT_EQ(byPeer[peers[1].port()].second->take(), "after them");
  texts = receiveAll(*fresh);
  EXPECT_EQ(texts->take(), "again");
  peers[0].sendTo("end", kPort);
  int kept = 0;
  // ("again" may have been sent once more while its flow was being made.)
  for (auto text = texts->take(); text != "end"; text = texts->take())
    ASSERT_TRUE(text == "again" || text == std::to_string(kept++).append(2000, '.')) << kept;
  EXPECT_TRUE(kept > 0 && kept < 50) << kept;
  EXPECT_FALSE(flows->take(0ms));  // no other flow
}

TEST_F(AsioNetworkTest, AChannelSendsFromItsReadyHandlerAndFailsOnRefusalFreeingItsSocket) {
  const std::size_t before = openDescriptors();
  const Host loopback = net::parseHost("127.0.0.1").value();
  const auto closed = test::UdpPeer().port();  // a port bound, then closed again
  auto refused = network->makeConnection(Endpoint::hostPort(loopback, closed), {});
  // Each state and each send's outcome. As the agent's opening sequence does, the ready
  // handler sends, holding the channel weakly.
  const auto outcomes = std::make_shared<Mailbox<std::string>>();
  refused->setStateHandler([outcomes, weak = std::weak_ptr(refused)](const ConnectionState& s) {
    outcomes->put(s.description());
    if (auto self = weak.lock(); s.isReady() && self) send(*self, outcomes);
  });
  refused->start(network->workQueue());
  for (const char* expected : {"preparing", "ready", "sent", "failed(Connection refused)"})
    EXPECT_EQ(outcomes->take(), expected);
  send(*refused, outcomes);
  EXPECT_EQ(outcomes->take(), "Connection refused");
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace trovik
