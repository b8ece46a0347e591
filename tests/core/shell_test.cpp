// What a user of the desktop sees of the agent: the launch, the status menu and its actions,
// the keyboard-access line that follows the 2-second check, and Open at Login.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "app/app_delegate.hpp"
#include "fakes/fakes.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Status = LoginItemStatus;

constexpr const char* kReady = "Ready for your iPad";
constexpr const char* kNeeds = "Needs keyboard access: open Accessibility Settings";

class Shell : public ::testing::Test {
 protected:
  Shell() : delegate(AppDelegate::create(fake.platform())) {}
  std::shared_ptr<MenuItem> item(int index) { return fake.statusBar.menu->items().at(index); }
  std::vector<std::string> lines() { return fake.log.lines(); }

  fakes::FakePlatform fake;
  std::shared_ptr<AppDelegate> delegate;
};

TEST_F(Shell, LaunchPromptsOnceOnlyWithoutAccessAndLeavesEverythingRunning) {
  for (bool trusted : {true, false}) {
    fakes::FakePlatform platform;
    platform.trust.trusted = trusted;
    auto agent = AppDelegate::create(platform.platform());
    agent->applicationDidFinishLaunching();
    EXPECT_EQ(platform.trust.prompts, trusted ? 0 : 1);
    EXPECT_EQ(platform.system.policy, ActivationPolicy::accessory);
    EXPECT_EQ(platform.statusBar.image, "scissors");
    EXPECT_EQ(agent->statusMenuItem()->title(), trusted ? kReady : kNeeds);
    ASSERT_TRUE(platform.network.listener);
    EXPECT_EQ(platform.network.listener->service->name, "Studio");
    EXPECT_EQ(agent->advertiser(), nullptr);
  }
}

TEST_F(Shell, TheMenuShowsTheComputerAccessAndLoginStateAndItsItemsAct) {
  for (auto [name, shown] :
       {std::pair<std::optional<std::string>, std::string>{"Edit Bay", "Edit Bay"},
        {std::nullopt, "Mac"}}) {
    fake.hostInfo.name = name;
    delegate->setupStatusItem();
    EXPECT_EQ(item(2)->title(), "This Mac: " + shown);
  }
  for (int i : {0, 1, 2, 3}) deliverMenuAction(*item(i), delegate);  // inert lines
  deliverMenuAction(*item(5), delegate);
  EXPECT_THAT(fake.workspace.opened, ElementsAre("x-apple.systempreferences:com.apple.preference."
                                                 "security?Privacy_Accessibility"));
  deliverMenuAction(*item(6), nullptr);  // its own target, the delegate
  EXPECT_THAT(fake.login.calls, ElementsAre("register"));
  EXPECT_EQ(item(6)->state(), 1);
  EXPECT_EQ(fake.system.terminations, 0);
  deliverMenuAction(*item(8), delegate);
  EXPECT_EQ(fake.system.terminations, 1);
  EXPECT_THAT(lines(), IsEmpty());  // quitting sends and logs nothing
  EXPECT_EQ(fake.trust.prompts, 0);

  fake.statusBar.available = false;  // nowhere to show it: the menu is built all the same
  delegate->setupStatusItem();
  EXPECT_EQ(delegate->statusItem(), nullptr);
  EXPECT_TRUE(delegate->statusMenuItem() && delegate->loginMenuItem());
}

TEST_F(Shell, TheAccessLineFollowsEveryChangeSeenByTheTwoSecondCheck) {
  delegate->setupStatusItem();
  fake.trust.trusted = false;
  delegate->startAccessibilityMonitor();
  EXPECT_EQ(item(1)->title(), kNeeds);
  const int queries = fake.trust.queries;
  fake.runLoop.advance(10s);  // steady ticks ask, and do nothing else
  EXPECT_EQ(fake.trust.queries, queries + 5);
  fake.trust.trusted = true;
  fake.runLoop.advance(1999ms);
  EXPECT_EQ(item(1)->title(), kNeeds);
  fake.runLoop.advance(1ms);
  EXPECT_EQ(item(1)->title(), kReady);
  fake.trust.trusted = false;  // and back before the next tick: unseen
  fake.runLoop.advance(1s);
  fake.trust.trusted = true;
  fake.runLoop.advance(1s);
  EXPECT_THAT(lines(), ElementsAre("Trovik: Broadcasting 'ax:denied' to 0 state clients",
                                   "Trovik: Broadcasting 'ax:granted' to 0 state clients"));
  EXPECT_EQ(fake.trust.prompts, 0);  // polling never prompts
  std::weak_ptr<AppDelegate> weak = delegate;
  delegate.reset();  // the timer holds the agent weakly
  EXPECT_TRUE(weak.expired());
  fake.trust.trusted = false;
  fake.runLoop.advance(4s);
  EXPECT_EQ(lines().size(), 2u);
}

TEST_F(Shell, OnlyTheFirstInstalledLaunchRegistersForLogin) {
  const struct {
    std::string path;
    bool registers;
  } launches[] = {{"/Users/me/Applications/Trovik Helper.app", false},
                  {"/Applications", false},
                  {"/applications/Trovik Helper.app", false},
                  {"/Applications/Video/Trovik Helper.app", true},
                  {"/Applications/Trovik Helper.app", false}};  // done once already
  delegate->setupStatusItem();
  std::size_t registered = 0;
  for (const auto& launch : launches) {
    fake.system.path = launch.path;
    delegate->configureLoginItemIfNeeded();
    registered += launch.registers;
    EXPECT_EQ(fake.login.calls.size(), registered) << launch.path;
    EXPECT_EQ(fake.system.defaults["loginItemConfigured"], registered > 0) << launch.path;
  }
  EXPECT_EQ(item(6)->state(), 1);

  fakes::FakePlatform failing;  // a failure is logged once and not tried again
  failing.login.error = "Operation not permitted";
  auto agent = AppDelegate::create(failing.platform());
  agent->configureLoginItemIfNeeded();
  agent->configureLoginItemIfNeeded();
  EXPECT_THAT(failing.log.lines(),
              ElementsAre("Trovik: could not enable Open at Login — Operation not permitted"));
  EXPECT_EQ(failing.login.settingsOpened, 0);
}

TEST_F(Shell, OpenAtLoginFollowsTheStatusItReads) {
  const struct {
    Status before, afterRegister;
    std::optional<std::string> error;
    std::string call;
    int settings, mark;
  } cases[] = {
      {Status::notRegistered, Status::enabled, {}, "register", 0, 1},
      {Status::enabled, Status::enabled, {}, "unregister", 0, 0},
      {Status::enabled, Status::enabled, "Busy", "unregister", 0, 1},
      {Status::requiresApproval, Status::requiresApproval, {}, "register", 1, 0},
      {Status::requiresApproval, Status::requiresApproval, "Denied", "register", 1, 0},
      {Status::notFound, Status::notFound, "No such file", "register", 0, 0},
  };
  delegate->setupStatusItem();
  for (const auto& c : cases) {
    fake.login = fakes::FakeLoginItems{};
    fake.login.current = c.before;
    fake.login.afterRegister = c.afterRegister;
    fake.login.error = c.error;
    fake.system.defaults.clear();
    const auto before = lines().size();
    delegate->toggleLoginItem();
    EXPECT_THAT(fake.login.calls, ElementsAre(c.call));
    EXPECT_EQ(fake.login.settingsOpened, c.settings);
    EXPECT_EQ(item(6)->state(), c.mark);
    EXPECT_TRUE(fake.system.defaults["loginItemConfigured"]);  // never registered for it again
    std::vector<std::string> logged;
    if (c.error) logged.push_back("Trovik: Open at Login change failed — " + *c.error);
    const auto all = lines();
    EXPECT_EQ(std::vector(all.begin() + static_cast<long>(before), all.end()), logged);
  }
}

TEST_F(Shell, TheLastReferenceDroppedElsewhereIsDestroyedOnTheMainThread) {
  delegate->startAccessibilityMonitor();
  std::weak_ptr<Timer> timer = delegate->accessibilityTimer();  // only the agent holds it
  std::thread([moved = std::move(delegate)]() mutable { moved.reset(); }).join();
  EXPECT_FALSE(timer.expired());  // handed over, not destroyed on that thread
  fake.runLoop.runPending();
  EXPECT_TRUE(timer.expired());
}

}  // namespace
}  // namespace trovik
