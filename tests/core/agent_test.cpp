// The agent's core on fakes beyond the table of tablet scripts: what a desktop user sees
// (launch, the access line, Open at Login), what the network can do that no tablet can make it
// do, and races under real threads.

#include <gmock/gmock.h>
#include <algorithm>

#include "app/app_delegate.hpp"
#include "editor/editor_id.hpp"
#include "fakes/fakes.hpp"
#include "platform/linux/net/asio_network.hpp"
#include "support/mailbox.hpp"

namespace trovik {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kReady = "Ready for your iPad";
constexpr const char* kNeeds = "Needs keyboard access: open Accessibility Settings";

using Kind = ConnectionState::Kind;

class Agent : public ::testing::Test {
 protected:
  Agent() : delegate(AppDelegate::create(fake.platform())) {}
  std::shared_ptr<MenuItem> item(int index) { return fake.statusBar.menu->items().at(index); }
  // A client of 127.0.0.7 whose state channel is ready: its flow and its channel.
  std::pair<std::shared_ptr<fakes::FakeConnection>, std::shared_ptr<fakes::FakeConnection>>
  client() {
    auto flow = fake.network.listener->connect("127.0.0.7", 5000);
    fake.settle();
    auto channel = fake.network.channels.back();
    channel->reportState(Kind::ready);
    fake.settle();
    return {flow, channel};
  }

  fakes::FakePlatform fake;
  std::shared_ptr<AppDelegate> delegate;
};

TEST_F(Agent, LaunchPromptsOnceAndTheAccessLineFollowsEveryChangeTheTwoSecondCheckSees) {
  fake.trust.trusted = false;
  fake.hostInfo.name.reset();  // the menu and the service then name a "Mac"
  delegate->applicationDidFinishLaunching();
  EXPECT_EQ(item(2)->title(), "This Computer: Mac");
  EXPECT_EQ(fake.network.listener->service->name, "Mac");
  EXPECT_EQ(item(1)->title(), kNeeds);
  fake.trust.trusted = true;
  fake.runLoop.advance(1999ms);
  EXPECT_EQ(item(1)->title(), kNeeds);
  fake.runLoop.advance(1ms);
  EXPECT_EQ(item(1)->title(), kReady);
  fake.trust.trusted = false;  // and back before the next tick: unseen
  fake.runLoop.advance(1s);
  fake.trust.trusted = true;
  fake.runLoop.advance(5s);
  EXPECT_EQ(fake.trust.prompts, 1);  // polling never prompts

  // The last reference dropped on another thread: destroyed on the main one, and the
  // timer, which holds the agent weakly, goes with it.
  std::weak_ptr<Timer> timer = delegate->accessibilityTimer();
  std::thread([moved = std::move(delegate)]() mutable { moved.reset(); }).join();
  EXPECT_FALSE(timer.expired());
  fake.runLoop.runPending();
  EXPECT_TRUE(timer.expired());
  fake.trust.trusted = false;
  fake.runLoop.advance(4s);
  EXPECT_THAT(fake.log.lines(),
              ElementsAre("Trovik: Broadcasting 'ax:denied' to 0 state clients",
                          "Trovik: observeFrontmostApp installed, initial editor: none",
                          "Trovik: Broadcasting 'ax:granted' to 0 state clients"));
}

TEST_F(Agent, OnlyTheFirstInstalledLaunchRegistersForLoginAndTheLineTogglesByTheStatus) {
  delegate->setupStatusItem();
  for (const char* outside : {"/Users/me/Applications/Trovik Helper.app", "/Applications",
                              "/applications/Trovik Helper.app"}) {
    fake.system.path = outside;
    delegate->configureLoginItemIfNeeded();
  }
  EXPECT_THAT(fake.login.calls, IsEmpty());
  fake.system.path = "/Applications/Video/Trovik Helper.app";
  fake.login.error = "Operation not permitted";  // logged once, and not tried again
  delegate->configureLoginItemIfNeeded();
  delegate->configureLoginItemIfNeeded();
  EXPECT_THAT(fake.login.calls, ElementsAre("register"));

  fake.login.error.reset();
  fake.system.defaults.clear();  // a user who toggles is never registered for again
  delegate->toggleLoginItem();
  EXPECT_TRUE(fake.system.defaults["loginItemConfigured"]);
  EXPECT_EQ(item(6)->state(), 1);
  fake.login.error = "Busy";
  delegate->toggleLoginItem();
  EXPECT_EQ(item(6)->state(), 1);
  fake.login.error.reset();
  delegate->toggleLoginItem();
  EXPECT_EQ(item(6)->state(), 0);
  fake.login.afterRegister = LoginItemStatus::requiresApproval;
  delegate->toggleLoginItem();
  EXPECT_EQ(item(6)->state(), 0);
  EXPECT_THAT(fake.login.calls,
              ElementsAre("register", "register", "unregister", "unregister", "register"));
  EXPECT_EQ(fake.login.settingsOpened, 1);  // only to approve it
  EXPECT_THAT(fake.log.lines(),
              ElementsAre("Trovik: could not enable Open at Login — Operation not permitted",
                          "Trovik: Open at Login change failed — Busy"));
}

TEST_F(Agent, NetworkFailuresSayOneLineEachReadyChannelsReopenAndAGoneAgentOnlyLogs) {
  fake.network.listenerError = "Address family not supported by protocol";
  delegate->startListener();
  EXPECT_EQ(delegate->listener(), nullptr);
  fake.network.listenerError.reset();
  delegate->startListener();
  const auto listener = fake.network.listener;
  for (auto kind : {ListenerState::Kind::setup, ListenerState::Kind::ready,
                    ListenerState::Kind::waiting, ListenerState::Kind::ready}) {
    listener->reportState(kind);
  }
  listener->reportState(ListenerState::Kind::failed, "Address already in use");
  fake.settle();
  EXPECT_EQ(delegate->listener(), listener);  // kept, never retried
  const auto [flow, channel] = client();
  channel->sendError = "No buffer space available";
  delegate->broadcastState("key:fired");
  delegate->broadcastState("key:fired");  // tried again: the channel is still ready
  channel->reportState(Kind::waiting, "Network is down");
  fake.trust.trusted = false;
  channel->reportState(Kind::ready);  // opening errors are not logged
  fake.settle();
  EXPECT_EQ(delegate->stateConnections().size(), 1u);

  delegate.reset();  // on the main thread: gone at once
  const auto late = listener->connect("127.0.0.8", 2);
  flow->completeReceive("SPACE");
  channel->reportState(Kind::ready);
  fake.settle();
  EXPECT_THAT(
      fake.log.lines(),
      ElementsAre("Trovik: Failed to create listener: Address family not supported by protocol",
                  "Trovik: Listening and advertising as Bonjour service",
                  "Trovik: Listening and advertising as Bonjour service",
                  "Trovik: Listener failed: Address already in use",
                  "Trovik: New client from 127.0.0.7, creating state channel on port 9877",
                  "Trovik: State connection to 127.0.0.7 → ready",
                  "Trovik: Broadcasting 'key:fired' to 1 state clients",
                  "Trovik: Broadcasting 'key:fired' to 1 state clients",
                  "Trovik: broadcast error — No buffer space available",
                  "Trovik: broadcast error — No buffer space available",
                  "Trovik: State connection to 127.0.0.7 → waiting(Network is down)",
                  "Trovik: State connection to 127.0.0.7 → ready",
                  "Trovik: New client from 127.0.0.8, creating state channel on port 9877",
                  "Trovik: Received 'SPACE'", "Trovik: State connection to 127.0.0.7 → ready"));
  EXPECT_THAT(channel->datagrams(),
              ElementsAre("fcp:inactive", "app:inactive", "ax:granted", "key:fired", "key:fired",
                          "fcp:inactive", "app:inactive", "ax:denied"));
  EXPECT_THAT(fake.keyboard.presses(), IsEmpty());
  EXPECT_EQ(fake.network.channels.size(), 1u);   // none for the late client
  EXPECT_FALSE(flow->completeReceive("again"));  // no receive armed any more
  EXPECT_FALSE(late->completeReceive("x"));
}

TEST_F(Agent, AChannelHearsItsOpeningThenEveryChangeMadeWhileItGotReady) {
  delegate->applicationDidFinishLaunching();
  fake.network.listener->connect("127.0.0.7", 5000);
  fake.settle();
  const auto channel = fake.network.channels.at(0);
  // The editor changes on the main thread just as the opening is being sent: once its
  // broadcast has been counted, the opening goes on.
  std::thread change;
  channel->onSend = [&] {
    if (change.joinable()) return;
    change = std::thread([&] { delegate->updateActiveEditor("com.apple.FinalCut"); });
    const std::string counted = "Trovik: Broadcasting 'fcp:active' to 1 state clients";
    while (std::ranges::count(fake.log.lines(), counted) == 0) std::this_thread::yield();
  };
  channel->reportState(Kind::ready);
  fake.settle();
  change.join();
  EXPECT_THAT(channel->datagrams(), ElementsAre("fcp:inactive", "app:inactive", "ax:granted",
                                                "fcp:active", "app:active:com.apple.FinalCut"));
}

TEST_F(Agent, ACommandIsConfirmedExactlyWhenItsKeyWasTyped) {
  delegate->applicationDidFinishLaunching();
  const auto [flow, channel] = client();
  // Access goes and comes back between any two questions: one answer per command decides
  // both whether it is typed and whether it is confirmed.
  fake.trust.flips = true;
  for (const char* command : {"SPACE", "a", "shift+b", "c", "+PLAY", "d"}) {
    flow->completeReceive(command);
    fake.settle();
  }
  // A press that does not reach the system is not confirmed either.
  fake.trust.flips = false;
  fake.keyboard.refuses = true;
  flow->completeReceive("e");
  fake.settle();
  EXPECT_THAT(fake.keyboard.presses(),
              ElementsAre(fakes::Press{49, false}, fakes::Press{11, true}));
  EXPECT_EQ(std::ranges::count(channel->datagrams(), "key:fired"), 3);  // SPACE, shift+b, +PLAY
}

TEST_F(Agent, WithoutNotificationsTheMenuAllowsAWaitingTabletAndAForgottenOneIsDroppedAtOnce) {
  fake.tablets.canAsk = false;
  delegate->applicationDidFinishLaunching();
  const auto allow = delegate->allowMenuItem();
  const auto knock = [&](std::uint16_t port) {
    fake.network.listener->connect("192.168.77.2", port);
    fake.settle();
    return delegate->clientConnections().size();
  };
  EXPECT_EQ(knock(5000), 0u);
  EXPECT_FALSE(allow->isHidden());
  EXPECT_EQ(allow->title(), "Allow Tablet at 192.168.77.2");
  fake.runLoop.advance(30s);  // the request lapses
  EXPECT_TRUE(allow->isHidden());
  fake.runLoop.advance(10min);
  EXPECT_EQ(knock(5001), 0u);
  delegate->performAction("allowWaitingTablet");
  EXPECT_TRUE(allow->isHidden());
  EXPECT_EQ(knock(5002), 1u);

  // Forgotten from the menu: its clients go at once, and what they send is no more received.
  // (Forgotten by a command elsewhere: the link test.)
  const auto flow = fake.network.listener->flows.back();
  delegate->performAction("forgetTrustedTablets");
  EXPECT_EQ(delegate->clientConnections().size(), 0u);
  fake.settle();
  EXPECT_FALSE(flow->completeReceive("SPACE"));

  // Not asking: any tablet on the same network types, as it always did, after a restart too.
  delegate->performAction("toggleAskBeforeNewTablets");
  EXPECT_EQ(fake.system.storedBool("askBeforeNewTablets"), false);
  EXPECT_EQ(knock(5004), 1u);
  EXPECT_THAT(fake.tablets.asked, ElementsAre("192.168.77.2", "192.168.77.2"));
}

// The network backend's pool does nothing else here: its tasks run several at once.
struct Unadvertised final : ServiceAdvertiser {
  void advertise(const ServiceDescription&, std::uint16_t) override {}
  void withdraw() override {}
};

TEST(Races, ClientsTypeAndHearBroadcastsWhileOthersAreRemoved) {
  Unadvertised nobody;
  AsioNetwork pool(nobody, {}, 4);
  fakes::FakePlatform fake(&pool.workQueue());
  auto delegate = AppDelegate::create(fake.platform());
  delegate->startListener();
  const auto logged = [&](std::string_view start) {
    return std::ranges::count_if(fake.log.lines(),
                                 [&](const auto& l) { return l.starts_with(start); });
  };
  // Many short-lived clients: a removal that skips the lock meets another thread more often.
  // With 60 the race detector missed one run in four; with 240, none in ten.
  constexpr int kStaying = 4, kLeaving = 240, kCommands = 40, kLeavingCommands = 4;
  std::vector<std::shared_ptr<fakes::FakeConnection>> flows;
  for (int i = 0; i < kStaying + kLeaving; ++i) {
    // Two flows from each host: one stays, one goes.
    flows.push_back(
        fake.network.listener->connect("127.1.0." + std::to_string(i % kStaying), 4000 + i));
    // Logged once its channel is made.
    EXPECT_TRUE(test::waitUntil([&] { return logged("Trovik: New client") == i + 1; }));
    fake.network.channels.back()->reportState(ConnectionState::Kind::ready);
  }
  const auto deliver = [](fakes::FakeConnection& flow, std::optional<std::string> content,
                          std::optional<std::string> error = {}) {
    while (!flow.completeReceive(content, error)) std::this_thread::yield();
  };
  std::vector<std::thread> senders;
  for (int i = 0; i < kStaying + kLeaving; ++i) {
    senders.emplace_back([&, i] {
      const bool leaves = i >= kStaying;
      for (int n = 0; n < (leaves ? kLeavingCommands : kCommands); ++n)
        deliver(*flows[i], "b\xCC\x81");
      if (leaves) deliver(*flows[i], std::nullopt, "reset");
    });
  }
  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    for (auto& t : senders) t.join();
    finished = true;
  });
  for (int n = 0; !finished || n < 100; ++n) {
    delegate->updateActiveEditor(n % 2 ? editor::EditorID("com.adobe.premierepro") : std::nullopt);
  }
  watcher.join();

  // Each leaving client took its own channel only; nothing was lost.
  EXPECT_TRUE(test::waitUntil([&] {
    return logged("Trovik: Received") == kStaying * kCommands + kLeaving * kLeavingCommands &&
           delegate->clientConnections().size() == kStaying;
  })) << logged("Trovik: Received");
  EXPECT_EQ(delegate->stateConnections().size(), std::size_t(kStaying));
  delegate.reset();
  pool.shutdown();  // before the fakes its tasks use
}

}  // namespace trovik
