#include "core/agent_fixture.hpp"

namespace trovik::testing {
namespace {

class Launch : public AgentTest {};

TEST_F(Launch, FreshDelegateHoldsOnlyInitialValuesAndStartsNothing) {
  EXPECT_EQ(delegate->statusItem(), nullptr);
  EXPECT_EQ(delegate->listener(), nullptr);
  EXPECT_EQ(delegate->advertiser(), nullptr);
  EXPECT_EQ(AppDelegate::port, 9876);
  EXPECT_EQ(AppDelegate::statePort, 9877);
  EXPECT_EQ(delegate->activeEditorID(), std::nullopt);
  EXPECT_THAT(delegate->clientConnections(), IsEmpty());
  EXPECT_THAT(delegate->stateConnections(), IsEmpty());
  EXPECT_EQ(delegate->statusMenuItem(), nullptr);
  EXPECT_EQ(delegate->lastAccessibilityState(), std::nullopt);
  EXPECT_EQ(delegate->accessibilityTimer(), nullptr);
  EXPECT_EQ(delegate->loginMenuItem(), nullptr);
  EXPECT_EQ(AppDelegate::loginItemConfiguredKey, "loginItemConfigured");
  EXPECT_THAT(lines(), IsEmpty());
  EXPECT_EQ(fake.trust.queries() + fake.statusBar.requestedLengths.size(), 0u);
}

// The whole launch as one record of platform calls, in order.
std::vector<std::string> launchTimeline(bool trusted) {
  fakes::FakePlatform fake;
  fakes::Timeline timeline;
  fake.recordInto(timeline);
  fake.trust.set(trusted);
  fake.workspace.frontmost = RunningApplication{"com.adobe.premierepro"};
  auto delegate = AppDelegate::create(fake.platform());
  delegate->applicationDidFinishLaunching();
  return timeline.entries();
}

std::vector<std::string> expectedTimeline(bool trusted) {
  std::vector<std::string> expected = {
      "application.setActivationPolicy(1)",
      // status menu
      "statusBar.statusItemWithLength(-2)",
      "trust.isProcessTrusted",
      "hostInfo.localizedName",
      "loginItems.status",
      // first-run login registration
      "defaults.bool(loginItemConfigured)",
      "loginItems.register",
      "defaults.set(loginItemConfigured=true)",
      "loginItems.status",
      // the one prompt, only when untrusted
      "trust.isProcessTrusted",
  };
  if (!trusted) expected.push_back("trust.isProcessTrustedWithPrompt");
  for (const char* step : {
           // monitor: one check at once, then the timer
           "trust.isProcessTrusted",
           "runLoop.scheduleRepeating(2000ms)",
           // listener
           "network.makeListener(9876)",
           "hostInfo.localizedName",
           // frontmost application
           "workspace.frontmostApplication",
           "workspace.addActivationObserver",
       }) {
    expected.emplace_back(step);
  }
  return expected;
}

TEST_F(Launch, RunsEveryStepInOrderAndPromptsOnlyWhenUntrusted) {
  EXPECT_EQ(launchTimeline(true), expectedTimeline(true));
  EXPECT_EQ(launchTimeline(false), expectedTimeline(false));
}

TEST_F(Launch, LeavesTheAgentRunningWithItsStateInPlace) {
  fake.trust.set(false);
  fake.workspace.frontmost = RunningApplication{"com.adobe.premierepro"};
  delegate->applicationDidFinishLaunching();
  EXPECT_EQ(fake.application.policy, ActivationPolicy::accessory);
  EXPECT_EQ(fake.trust.prompts(), 1);
  EXPECT_EQ(delegate->statusMenuItem()->title(),
            "Needs keyboard access: open Accessibility Settings");
  EXPECT_EQ(delegate->lastAccessibilityState(), false);
  EXPECT_EQ(fake.runLoop.liveTimers(), 1u);
  EXPECT_TRUE(fake.network.listener()->started());
  EXPECT_EQ(delegate->activeEditorID(), "com.adobe.premierepro");
  EXPECT_THAT(
      lines(),
      ElementsAre("Trovik: Broadcasting 'ax:denied' to 0 state clients",
                  "Trovik: observeFrontmostApp installed, initial editor: com.adobe.premierepro"));

  // A later client learns everything from its opening sequence.
  const auto c = connectReady("10.0.0.1");
  EXPECT_THAT(c.channel->datagrams(),
              ElementsAre("fcp:inactive", "app:active:com.adobe.premierepro", "ax:denied"));
}

TEST_F(Launch, LastReferenceDroppedOffTheMainThreadIsDestroyedOnIt) {
  delegate->startAccessibilityMonitor();  // gives the delegate a field whose release we can see
  ASSERT_EQ(fake.runLoop.liveTimers(), 1u);
  std::thread([d = std::move(delegate)]() mutable { d.reset(); }).join();
  EXPECT_EQ(fake.runLoop.liveTimers(), 1u);  // handed over, not destroyed on that thread
  fake.runLoop.runPending();
  EXPECT_EQ(fake.runLoop.liveTimers(), 0u);
}

}  // namespace
}  // namespace trovik::testing
