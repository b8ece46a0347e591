// The tray item's menu as a dbusmenu host reads it: each line's properties, and the item on a
// private session bus driven as a host drives it, the real delegate over fakes behind it.

#include <gmock/gmock.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "app/app_delegate.hpp"
#include "app/status_texts.hpp"
#include "fakes/fakes.hpp"
#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/desktop/dbus_menu_layout.hpp"
#include "platform/linux/desktop/sni_status_bar.hpp"
#include "support/desktop_bus.hpp"
#include "support/private_bus.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using namespace dbusmenu;

// Properties left out are the protocol's defaults; the host draws from the values, in any order.
TEST(DbusMenuLayout, EachLineCarriesWhatAHostNeedsToDrawIt) {
  const auto drawn = [](const char* title, const char* action, const char* key, int state,
                        const Properties& expected) {
    MenuItem item(title, action, key);
    if (state >= 0) item.setState(state);
    EXPECT_THAT(itemProperties(item), ::testing::UnorderedElementsAreArray(expected)) << title;
  };
  // A lone underscore would mark a mnemonic, which the host hides.
  drawn("This Mac: studio_mac__2", "", "", -1,
        {{"label", "This Mac: studio__mac____2"}, {"enabled", false}});
  drawn("Open at Login", "toggleLoginItem", "", 1,
        {{"label", "Open at Login"}, {"toggle-type", "checkmark"}, {"toggle-state", 1}});
  drawn("Save As", "saveAs", "S", -1,
        {{"label", "Save As"}, {"shortcut", Shortcut{{"Control", "Shift", "s"}}}});
  EXPECT_EQ(itemProperties(*MenuItem::separatorItem()), (Properties{{"type", "separator"}}));
}

TEST(TrayItem, PickedLinesReachTheirActionsAndTheCheckMarkFollowsTheLoginItem) {
  std::string error;
  auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
  testing::BusWatch signals("gdbus monitor --address '" + bus->address() + "' --dest " + name);
  fakes::FakePlatform fake;
  AsioRunLoop runLoop;
  SniStatusBar bar(runLoop.context(), bus->address());
  auto delegate =
      AppDelegate::create({runLoop, fake.queue, fake.network, fake.keyboard, fake.trust,
                           fake.tablets, fake.log, fake.text, fake.workspace, bar, fake.hostInfo,
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
    return testing::gdbusCall(bus->address(), name, "/MenuBar", "com.canonical.dbusmenu." + method,
                              arguments);
  };

  onLoop([&] { delegate->setupStatusItem(); });
  EXPECT_TRUE(signals.next("is owned by", test::kPatience));
  for (const char* state : {"1", "0"}) {
    EXPECT_EQ(menu("Event", "7 clicked '<0>' 0"), "()");
    EXPECT_TRUE(
        signals.next("ItemsPropertiesUpdated ([(7, {'label': <'Open at Login'>, 'toggle-type': "
                     "<'checkmark'>, 'toggle-state': <" +
                         std::string(state),
                     test::kPatience));
  }
  // Only a click acts; ids that name no line are refused, and come back from a group.
  EXPECT_THAT(menu("Event", "13 clicked '<0>' 0"), ::testing::HasSubstr("Error.InvalidArgs"));
  EXPECT_EQ(menu("EventGroup",
                 "\"[(6, 'clicked', <''>, 0), (9, 'hovered', <0>, 0), "
                 "(42, 'clicked', <0>, 0)]\""),
            "([42],)");
  onLoop([&] {
    EXPECT_EQ(fake.login.calls, (std::vector<std::string>{"register", "unregister"}));
    EXPECT_THAT(fake.workspace.opened, ::testing::ElementsAre(kAccessibilitySettingsLink));
    EXPECT_EQ(fake.system.terminations, 0);
    delegate.reset();  // the item goes with it, on the main thread
  });
  runLoop.stop();
  loop.join();
}

}  // namespace
}  // namespace trovik
