// The tray item on a private session bus, driven as a tray host drives it, with the agent's
// own menu model behind it: the real delegate over fakes, on a real main loop.

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "app/app_delegate.hpp"
#include "app/status_texts.hpp"
#include "fakes/fake_platform.hpp"
#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/desktop/sni_status_bar.hpp"
#include "private_bus.hpp"
#include "support/bus_client.hpp"
#include "support/mailbox.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using testing::BusClient;
using testing::PrivateBus;

class TrayItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    bus = PrivateBus::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
    host = BusClient::connect(bus->address(), error);
    ASSERT_TRUE(host) << error;
    bar.emplace(runLoop.context(), bus->address());
    delegate =
        AppDelegate::create({runLoop, fake.queue, fake.network, fake.keyboard, fake.trust, fake.log,
                             fake.text, fake.workspace, *bar, fake.hostInfo, fake.loginItems,
                             fake.userDefaults, fake.bundle, fake.application});
    bar->setApplicationDelegate(delegate);
    loop = std::thread([this] { runLoop.run(); });
    onLoop([this] { delegate->setupStatusItem(); });
    ASSERT_TRUE(test::waitUntil([this] { return click(1) == "()"; })) << click(1);
  }
  void TearDown() override {
    if (!loop.joinable()) return;
    onLoop([this] { delegate.reset(); });  // the item goes with it, on the main thread
    runLoop.stop();
    loop.join();
  }

  // Runs `task` on the main loop and waits for it. It goes round the loop twice: what the
  // loop posted to itself while this arrived (the action of a click just answered) runs first.
  void onLoop(std::function<void()> task) {
    std::promise<void> done;
    runLoop.post([&] {
      runLoop.post([&] {
        task();
        done.set_value();
      });
    });
    done.get_future().wait();
  }
  std::string click(std::int32_t id, const char* event = "clicked") {
    return host->call(name, "/MenuBar", "com.canonical.dbusmenu", "Event", "isvu", id, event, "i",
                      0, 0u);
  }

  const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
  std::unique_ptr<PrivateBus> bus;
  std::unique_ptr<BusClient> host;
  fakes::FakePlatform fake;
  AsioRunLoop runLoop;
  std::optional<SniStatusBar> bar;
  std::shared_ptr<AppDelegate> delegate;
  std::thread loop;
};

TEST_F(TrayItemTest, PickedLinesReachTheirActionsAndTheCheckMarkFollowsTheLoginItem) {
  const auto loginLine = [](int state) {
    return "([(7, {'label': <'Open at Login'>, 'toggle-type': <'checkmark'>, 'toggle-state': <" +
           std::to_string(state) + ">})], [])";
  };
  EXPECT_EQ(click(7), "()");
  EXPECT_EQ(host->nextSignal("ItemsPropertiesUpdated", test::kPatience), loginLine(1));
  EXPECT_EQ(click(7), "()");
  EXPECT_EQ(host->nextSignal("ItemsPropertiesUpdated", test::kPatience), loginLine(0));

  // Lines without a target of their own end at the delegate; inert lines and other events
  // do nothing, and ids that name no line are refused.
  for (std::int32_t id : {1, 2, 5, 6}) EXPECT_EQ(click(id), "()") << id;
  EXPECT_EQ(click(9, "hovered"), "()");
  EXPECT_EQ(click(10), "error org.freedesktop.DBus.Error.InvalidArgs");
  // Hosts that batch events: the group's unknown ids come back.
  EXPECT_EQ(host->call(name, "/MenuBar", "com.canonical.dbusmenu", "EventGroup", "a(isvu)", 2, 9,
                       "clicked", "s", "", 0u, 42, "clicked", "i", 0, 0u),
            "([42])");
  onLoop([this] {
    EXPECT_EQ(fake.loginItems.registers, 1);
    EXPECT_EQ(fake.loginItems.unregisters, 1);
    EXPECT_EQ(fake.workspace.openedURLs,
              std::vector<std::string>{std::string(kAccessibilitySettingsLink)});
    EXPECT_EQ(fake.application.terminations, 1);
  });
  EXPECT_FALSE(host->nextSignal("ItemsPropertiesUpdated", 0ms));
}

}  // namespace
}  // namespace trovik
