#include "core/agent_fixture.hpp"

namespace trovik::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kReady = "Ready for your iPad";
constexpr const char* kNeeds = "Needs keyboard access: open Accessibility Settings";

class PermissionMonitor : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    delegate->setupStatusItem();
  }
  std::vector<std::string> broadcasts() {
    return fake.log.linesStartingWith("Trovik: Broadcasting");
  }
};

TEST_F(PermissionMonitor, FirstCheckAlwaysActsThenOnlyChangesDo) {
  fake.trust.set(false);
  delegate->startAccessibilityMonitor();
  EXPECT_EQ(delegate->lastAccessibilityState(), false);
  EXPECT_EQ(delegate->statusMenuItem()->title(), kNeeds);
  EXPECT_THAT(broadcasts(), ElementsAre("Trovik: Broadcasting 'ax:denied' to 0 state clients"));

  const auto client = connectReady("10.0.0.3");
  const auto opening = client.channel->datagrams().size();
  fake.runLoop.advance(10s);  // five steady ticks
  EXPECT_EQ(broadcasts().size(), 1u);

  fake.trust.set(true);
  fake.runLoop.advance(1999ms);
  EXPECT_EQ(delegate->statusMenuItem()->title(), kNeeds);  // not yet: the tick is at 12 s
  fake.runLoop.advance(1ms);
  EXPECT_EQ(delegate->statusMenuItem()->title(), kReady);
  fake.runLoop.advance(6s);
  fake.trust.set(false);
  fake.runLoop.advance(2s);
  fake.settle();
  EXPECT_THAT(broadcasts(), ElementsAre("Trovik: Broadcasting 'ax:denied' to 0 state clients",
                                        "Trovik: Broadcasting 'ax:granted' to 1 state clients",
                                        "Trovik: Broadcasting 'ax:denied' to 1 state clients"));
  const auto sent = client.channel->datagrams();
  EXPECT_THAT(std::vector<std::string>(sent.begin() + static_cast<long>(opening), sent.end()),
              ElementsAre("ax:granted", "ax:denied"));
  EXPECT_EQ(delegate->statusMenuItem()->title(), kNeeds);
}

TEST_F(PermissionMonitor, ChangeAndChangeBackBetweenTicksGoesUnseen) {
  delegate->startAccessibilityMonitor();
  const int queries = fake.trust.queries();
  fake.trust.set(false);
  fake.runLoop.advance(1s);
  fake.trust.set(true);
  fake.runLoop.advance(1s);
  EXPECT_EQ(fake.trust.queries(), queries + 1);  // one quiet query per tick
  EXPECT_EQ(broadcasts().size(), 1u);
  EXPECT_EQ(fake.trust.prompts(), 0);  // polling never prompts
}

TEST_F(PermissionMonitor, WorksWithoutTheMenuLineAndStopsWithTheDelegate) {
  auto bare = AppDelegate::create(fake.platform());  // no menu built
  bare->startAccessibilityMonitor();
  EXPECT_EQ(bare->statusMenuItem(), nullptr);
  EXPECT_EQ(bare->lastAccessibilityState(), true);
  EXPECT_EQ(broadcasts().size(), 1u);
  bare.reset();
  fake.trust.set(false);
  fake.runLoop.advance(4s);  // the timer holds the delegate weakly: ticks do nothing now
  EXPECT_EQ(broadcasts().size(), 1u);
}

class StatusMenu : public AgentTest {
 protected:
  std::vector<std::shared_ptr<MenuItem>> items() { return fake.statusBar.item->menu()->items(); }
};

TEST_F(StatusMenu, BuildsTheItemsInOrder) {
  fake.loginItems.current = LoginItemStatus::enabled;
  delegate->setupStatusItem();
  ASSERT_TRUE(fake.statusBar.item);
  EXPECT_THAT(fake.statusBar.requestedLengths, ElementsAre(-2.0));
  EXPECT_EQ(fake.statusBar.item->imageSymbol, "scissors");
  EXPECT_EQ(fake.statusBar.item->imageDescription, "Trovik Helper");
  EXPECT_EQ(delegate->statusItem(), fake.statusBar.item);

  const auto menu = items();
  ASSERT_EQ(menu.size(), 9u);
  std::vector<std::string> titles;
  for (const auto& item : menu) titles.push_back(item->isSeparator() ? "---" : item->title());
  EXPECT_THAT(titles,
              ElementsAre("Trovik Helper", kReady, "This Mac: Studio Mac",
                          "Keep your iPad on the same Wi-Fi", "---", "Accessibility Settings",
                          "Open at Login", "---", "Quit Trovik Helper"));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(menu[i]->action(), "") << i;  // inert lines
  EXPECT_EQ(menu[5]->action(), "openAccessibilityPrefs");
  EXPECT_EQ(menu[6]->action(), "toggleLoginItem");
  EXPECT_EQ(menu[8]->action(), "quitApp");
  EXPECT_EQ(menu[8]->keyEquivalent(), "q");
  for (int i : {0, 1, 2, 3, 5, 8}) {
    EXPECT_FALSE(menu[i]->hasTarget()) << i;
    EXPECT_EQ(menu[i]->state(), 0) << i;
  }
  EXPECT_TRUE(menu[6]->hasTarget());
  EXPECT_EQ(menu[6]->target(), delegate);
  EXPECT_EQ(menu[6]->state(), 1);
  EXPECT_EQ(delegate->statusMenuItem(), menu[1]);
  EXPECT_EQ(delegate->loginMenuItem(), menu[6]);
}

TEST_F(StatusMenu, UntrustedNamelessAndUnregisteredStates) {
  for (auto status : {LoginItemStatus::notRegistered, LoginItemStatus::requiresApproval,
                      LoginItemStatus::notFound}) {
    fake.trust.set(false);
    fake.hostInfo.name = std::nullopt;
    fake.loginItems.current = status;
    delegate->setupStatusItem();
    EXPECT_EQ(items()[1]->title(), kNeeds);
    EXPECT_EQ(items()[2]->title(), "This Mac: Mac");
    EXPECT_EQ(items()[6]->state(), 0);
  }
}

TEST_F(StatusMenu, MissingStatusItemOrButtonStillBuildsTheMenu) {
  fake.statusBar.withButton = false;
  delegate->setupStatusItem();
  EXPECT_EQ(fake.statusBar.item->imageSymbol, "");
  EXPECT_EQ(items().size(), 9u);

  fake.statusBar.available = false;
  delegate->setupStatusItem();
  EXPECT_EQ(delegate->statusItem(), nullptr);
  ASSERT_TRUE(delegate->statusMenuItem());
  EXPECT_TRUE(delegate->loginMenuItem());
}

TEST_F(StatusMenu, ActionsReachTheDelegate) {
  delegate->setupStatusItem();
  const auto menu = items();
  for (int i = 0; i < 4; ++i) deliverMenuAction(*menu[i], delegate);  // inert
  deliverMenuAction(*menu[5], delegate);
  EXPECT_THAT(
      fake.workspace.openedURLs,
      ElementsAre("x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"));
  EXPECT_EQ(fake.workspace.openedURLs[0].size(), 77u);
  EXPECT_EQ(fake.trust.prompts(), 0);
  deliverMenuAction(*menu[6], nullptr);  // has its own target
  EXPECT_EQ(fake.loginItems.registers, 1);
  EXPECT_EQ(fake.application.terminations, 0);
  deliverMenuAction(*menu[8], delegate);
  EXPECT_EQ(fake.application.terminations, 1);
  EXPECT_THAT(lines(), IsEmpty());  // quitting sends and logs nothing
}

class OpenAtLogin : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    delegate->setupStatusItem();
  }
  bool configured() { return fake.userDefaults.values["loginItemConfigured"]; }
  int checkMark() { return delegate->loginMenuItem()->state(); }
};

TEST_F(OpenAtLogin, FirstInstalledLaunchRegistersOnce) {
  delegate->configureLoginItemIfNeeded();
  EXPECT_EQ(fake.loginItems.registers, 1);
  EXPECT_TRUE(configured());
  EXPECT_EQ(checkMark(), 1);
  delegate->configureLoginItemIfNeeded();
  EXPECT_EQ(fake.loginItems.registers, 1);
  EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(OpenAtLogin, OnlyThePrefixWithItsFinalSlashCounts) {
  for (const char* path : {"/Users/me/Applications/Trovik Helper.app", "/Applications",
                           "/applications/Trovik Helper.app", "/ApplicationsX/Trovik Helper.app",
                           "/Users/me/Downloads/Trovik Helper.app"}) {
    fake.bundle.path = path;
    delegate->configureLoginItemIfNeeded();
    EXPECT_EQ(fake.loginItems.registers, 0) << path;
  }
  EXPECT_EQ(fake.userDefaults.writes, 0);  // a later installed launch still registers
  fake.bundle.path = "/Applications/Video/Trovik Helper.app";
  delegate->configureLoginItemIfNeeded();
  EXPECT_EQ(fake.loginItems.registers, 1);
}

TEST_F(OpenAtLogin, FailedFirstRegistrationIsLoggedAndNotRepeated) {
  fake.loginItems.registerError = "Operation not permitted";
  delegate->configureLoginItemIfNeeded();
  delegate->configureLoginItemIfNeeded();
  EXPECT_THAT(lines(),
              ElementsAre("Trovik: could not enable Open at Login — Operation not permitted"));
  EXPECT_TRUE(configured());
  EXPECT_EQ(fake.loginItems.registers, 1);
  EXPECT_EQ(fake.loginItems.settingsOpened, 0);
  EXPECT_EQ(checkMark(), 0);
}

TEST_F(OpenAtLogin, ToggleFollowsTheStatusItReads) {
  struct Case {
    LoginItemStatus before;
    LoginItemStatus afterRegister;
    std::optional<std::string> error;
    int registers, unregisters, settings, mark;
  };
  using S = LoginItemStatus;
  const Case cases[] = {
      {S::notRegistered, S::enabled, {}, 1, 0, 0, 1},
      {S::enabled, S::enabled, {}, 0, 1, 0, 0},
      {S::requiresApproval, S::requiresApproval, {}, 1, 0, 1, 0},
      {S::notFound, S::notFound, "No such file", 1, 0, 0, 0},
      {S::requiresApproval, S::requiresApproval, "Denied", 1, 0, 1, 0},  // fails, still opens
  };
  for (const auto& c : cases) {
    fake.loginItems = fakes::FakeLoginItems{};
    fake.loginItems.current = c.before;
    fake.loginItems.afterRegister = c.afterRegister;
    fake.loginItems.registerError = c.error;
    fake.userDefaults.values.clear();
    fake.log.clear();
    delegate->toggleLoginItem();
    EXPECT_EQ(fake.loginItems.registers, c.registers);
    EXPECT_EQ(fake.loginItems.unregisters, c.unregisters);
    EXPECT_EQ(fake.loginItems.settingsOpened, c.settings);
    EXPECT_EQ(checkMark(), c.mark);
    EXPECT_TRUE(configured());
    if (c.error) {
      EXPECT_THAT(lines(), ElementsAre("Trovik: Open at Login change failed — " + *c.error));
    } else {
      EXPECT_THAT(lines(), IsEmpty());
    }
  }
}

TEST_F(OpenAtLogin, FailedUnregisterKeepsTheMarkTruthful) {
  fake.loginItems.current = LoginItemStatus::enabled;
  fake.loginItems.unregisterError = "Busy";
  delegate->toggleLoginItem();
  EXPECT_THAT(lines(), ElementsAre("Trovik: Open at Login change failed — Busy"));
  EXPECT_EQ(checkMark(), 1);
}

TEST_F(OpenAtLogin, AToggledUserIsNeverRegisteredAutomatically) {
  fake.bundle.path = "/tmp/Trovik Helper.app";
  fake.loginItems.current = LoginItemStatus::enabled;
  delegate->toggleLoginItem();  // switched off by hand
  fake.bundle.path = "/Applications/Trovik Helper.app";
  delegate->configureLoginItemIfNeeded();
  EXPECT_EQ(fake.loginItems.registers, 0);
}

}  // namespace
}  // namespace trovik::testing
