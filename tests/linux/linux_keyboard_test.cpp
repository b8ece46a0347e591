#include <gtest/gtest.h>

#include "fake_notifications.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "support/private_bus.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using testing::FakeNotifications;

TEST(LinuxKeyboard, WithoutUinputOrDisplayAccessIsDeniedAndOnlyThePromptSaysHowToGrantIt) {
  std::string error;
  auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  FakeNotifications service(bus->address(), FakeNotifications::Answer::reply);
  ASSERT_TRUE(service.ready());
  LinuxKeyboard keyboard(
      {.uinputPath = "/nonexistent/uinput", .display = "", .sessionBus = bus->address()});
  EXPECT_FALSE(keyboard.isProcessTrusted());
  keyboard.press(18, true);  // goes nowhere, and does not fail
  EXPECT_TRUE(service.waitForCalls(1, 0ms).empty());

  EXPECT_FALSE(keyboard.isProcessTrustedWithPrompt());
  const auto calls = service.waitForCalls(1, 10s);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].summary, "Trovik Helper needs keyboard access");
  EXPECT_NE(calls[0].body.find("/nonexistent/uinput is missing (the uinput module is not loaded)"),
            std::string::npos)
      << calls[0].body;
  EXPECT_NE(calls[0].body.find("70-trovik-helper-uinput.rules"), std::string::npos);
}

}  // namespace
}  // namespace trovik
