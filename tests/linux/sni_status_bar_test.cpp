// The tray item on a private session bus, driven as a tray host drives it, with the agent's
// own menu model behind it: the real delegate over fakes, on a real main loop.

#include <gmock/gmock.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "app/app_delegate.hpp"
#include "app/status_texts.hpp"
#include "fakes/fakes.hpp"
#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/desktop/sni_status_bar.hpp"
#include "support/private_bus.hpp"
#include "support/desktop_bus.hpp"
#include "support/mailbox.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using testing::gdbusCall;

TEST(TrayItem, PickedLinesReachTheirActionsAndTheCheckMarkFollowsTheLoginItem) {
  std::string error;
  auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
  testing::BusWatch signals("gdbus monitor --address '" + bus->address() + "' --dest " + name);
  fakes::FakePlatform fake;
  AsioRunLoop runLoop;
  SniStatusBar bar(runLoop.context(), bus->address());
  auto delegate = AppDelegate::create({runLoop, fake.queue, fake.network, fake.keyboard, fake.trust,
                                       fake.log, fake.text, fake.workspace, bar, fake.hostInfo,
                                       fake.login, fake.system, fake.system, fake.system});
  bar.setApplicationDelegate(delegate);
  std::thread loop([&] { runLoop.run(); });
  // Runs `task` on the main loop and waits for it. Twice round the loop: what the loop posted
  // to itself meanwhile (the action of a click just answered) runs first.
  const auto onLoop = [&](const std::function<void()>& task) {
    std::promise<void> done;
    runLoop.post([&] { runLoop.post([&] { task(), done.set_value(); }); });
    done.get_future().wait();
  };
  const auto menu = [&](const std::string& method, const std::string& arguments) {
    return gdbusCall(bus->address(), name, "/MenuBar", "com.canonical.dbusmenu." + method,
                     arguments);
  };
  const auto click = [&](const char* id, const char* event = "clicked") {
    return menu("Event", std::string(id) + " " + event + " '<0>' 0");
  };
  const auto loginLine = [](const char* state) {
    return "ItemsPropertiesUpdated ([(7, {'label': <'Open at Login'>, 'toggle-type': "
           "<'checkmark'>, 'toggle-state': <" +
           std::string(state) + ">})], @a(ias) [])";
  };

  onLoop([&] { delegate->setupStatusItem(); });
  EXPECT_TRUE(signals.next("is owned by", test::kPatience));
  EXPECT_EQ(click("7"), "()");
  EXPECT_TRUE(signals.next(loginLine("1"), test::kPatience));
  EXPECT_EQ(click("7"), "()");
  EXPECT_TRUE(signals.next(loginLine("0"), test::kPatience));
  // Lines without a target of their own end at the delegate; inert lines and other events
  // do nothing, and ids that name no line are refused.
  for (const char* id : {"1", "2", "5", "6"}) EXPECT_EQ(click(id), "()") << id;
  EXPECT_EQ(click("9", "hovered"), "()");
  EXPECT_THAT(click("10"), ::testing::HasSubstr("org.freedesktop.DBus.Error.InvalidArgs"));
  // Hosts that batch events: the group's unknown ids come back.
  EXPECT_EQ(menu("EventGroup", "\"[(9, 'clicked', <''>, 0), (42, 'clicked', <0>, 0)]\""),
            "([42],)");
  onLoop([&] {
    EXPECT_EQ(fake.login.calls, (std::vector<std::string>{"register", "unregister"}));
    EXPECT_EQ(fake.workspace.opened,
              std::vector<std::string>{std::string(kAccessibilitySettingsLink)});
    EXPECT_EQ(fake.system.terminations, 1);
    delegate.reset();  // the item goes with it, on the main thread
  });
  runLoop.stop();
  loop.join();
}

}  // namespace
}  // namespace trovik
