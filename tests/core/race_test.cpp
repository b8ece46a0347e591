#include <atomic>
#include <thread>

#include "core/agent_fixture.hpp"

namespace trovik::testing {
namespace {

// Real threads deliver every network callback; run under ThreadSanitizer this catches any
// unguarded touch of the client lists or the editor ID.
class Races : public AgentTest {
 protected:
  Races() : AgentTest(&threads) {}
  void TearDown() override {
    threads.drain();
    delegate.reset();
  }
  // Waits until the flow has re-armed its receive, then hands it the datagram.
  static void deliver(FakeConnection& flow, std::optional<Bytes> content,
                      std::optional<NetworkError> error = {}) {
    while (!flow.completeReceive(content, error)) std::this_thread::yield();
  }
  Client connectAndWait(const std::string& host, std::uint16_t port) {
    Client c;
    c.flow = fake.network.listener()->connect(peer(host, port));
    threads.drain();
    c.channel = fake.network.channels().back();
    c.channel->becomeReady();
    return c;
  }
  fakes::ThreadedWorkQueue threads{4};
};

TEST_F(Races, ClientsTypeAndHearBroadcastsWhileOthersAreRemoved) {
  startListener();
  constexpr int kStaying = 4, kLeaving = 4, kCommands = 50;
  std::vector<Client> staying, leaving;
  for (int i = 0; i < kStaying; ++i)
    staying.push_back(connectAndWait("10.1.0." + std::to_string(i), 4000));
  for (int i = 0; i < kLeaving; ++i)
    leaving.push_back(connectAndWait("10.2.0." + std::to_string(i), 4000));
  threads.drain();

  std::vector<std::thread> senders;
  for (auto& c : staying) {
    senders.emplace_back([&c] {
      for (int n = 0; n < kCommands; ++n) deliver(*c.flow, bytes("a"));
    });
  }
  for (auto& c : leaving) {
    senders.emplace_back([&c] {
      for (int n = 0; n < kCommands / 2; ++n) deliver(*c.flow, bytes("b"));
      deliver(*c.flow, std::nullopt, fakes::makeError("reset"));
    });
  }
  // Meanwhile the main thread switches editors and broadcasts, as activations would, for as
  // long as the clients are busy.
  std::atomic<int> finished{0};
  std::thread watcher([&] {
    for (auto& t : senders) t.join();
    finished = 1;
  });
  for (int n = 0; finished == 0 || n < 100; ++n) {
    delegate->updateActiveEditor(n % 2 ? editor::EditorID("com.adobe.premierepro") : std::nullopt);
  }
  watcher.join();
  threads.drain();

  const auto listed = delegate->stateConnections();
  ASSERT_EQ(listed.size(), static_cast<std::size_t>(kStaying));
  for (const auto& c : staying) {
    EXPECT_EQ(c.channel->cancelCount(), 0);
    EXPECT_TRUE(c.flow->hasPendingReceive());
  }
  for (const auto& c : leaving) {
    EXPECT_EQ(c.channel->cancelCount(), 1);
    EXPECT_FALSE(c.flow->hasPendingReceive());
  }
  EXPECT_EQ(delegate->clientConnections().size(), static_cast<std::size_t>(kStaying));
  // Nothing lost: every command became exactly one press.
  EXPECT_EQ(fake.keyboard.presses().size(),
            static_cast<std::size_t>((kStaying * kCommands + kLeaving * kCommands / 2)));
  EXPECT_EQ(fake.log.linesStartingWith("Trovik: Received").size(),
            static_cast<std::size_t>(kStaying * kCommands + kLeaving * kCommands / 2));
}

}  // namespace
}  // namespace trovik::testing
