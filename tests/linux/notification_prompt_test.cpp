// How the agent tells the user to grant keyboard access: a desktop notification when a
// service shows it, else one line, and never a wait on a service that does not answer.

#include <fcntl.h>
#include <gtest/gtest.h>

#include "platform/linux/desktop/notification_prompt.hpp"
#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "support/fake_bus_service.hpp"
#include "support/private_bus.hpp"
#include "support/process.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using Answer = test::FakeBusService::Answer;

class Prompt : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    bus = testing::PrivateBus::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  }
  std::unique_ptr<test::FakeBusService> notifications(Answer answer) {
    auto service = std::make_unique<test::FakeBusService>(
        bus->address(), "org.freedesktop.Notifications", answer,
        [](sd_bus_message* call) { return sd_bus_reply_method_return(call, "u", 1u); });
    EXPECT_TRUE(service->ready());
    return service;
  }
  std::string fallen() {  // what was written to the fallback so far
    ::fcntl(fallback.read, F_SETFL, O_NONBLOCK);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(fallback.read, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }
  std::unique_ptr<testing::PrivateBus> bus;
  test::Pipe fallback;
};

TEST_F(Prompt, TheKeyboardWithoutAccessNotifiesHowToGrantItOnceAndOnlyWhenAsked) {
  auto service = notifications(Answer::reply);
  LinuxKeyboard keyboard({.uinputPath = "/nonexistent/uinput",
                          .display = "",
                          .sessionBus = bus->address(),
                          .promptFallbackFd = fallback.write});
  EXPECT_FALSE(keyboard.isProcessTrusted());
  keyboard.press(18, true);  // goes nowhere, and does not fail
  EXPECT_TRUE(service->calls(1, 0ms).empty());
  EXPECT_FALSE(keyboard.isProcessTrustedWithPrompt());
  const auto calls = service->calls(1, 10s);
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].size(), 4u);  // application, icon, summary, body
  EXPECT_EQ(calls[0][0], "Trovik Helper");
  EXPECT_EQ(calls[0][2], "Trovik Helper needs keyboard access");
  EXPECT_NE(calls[0][3].find("/nonexistent/uinput is missing"), std::string::npos);
  EXPECT_NE(calls[0][3].find("70-trovik-helper-uinput.rules"), std::string::npos);
  EXPECT_EQ(fallen(), "");
}

TEST_F(Prompt, ASilentServiceHoldsUpNothingAndNoServiceGivesOneLine) {
  {
    auto held = notifications(Answer::hold);
    NotificationPrompt prompt(bus->address(), fallback.write);
    prompt.show("Needs access", "How");  // returns although nobody answers
    prompt.show("Again", "dropped while the first is in flight");
    EXPECT_EQ(held->calls(2, 1s).size(), 1u);
  }  // and its destruction abandons the call
  EXPECT_EQ(fallen(), "");
  for (Answer answer : {Answer::error, Answer::hold}) {
    auto refusing = answer == Answer::error ? notifications(answer) : nullptr;
    NotificationPrompt prompt(answer == Answer::error ? bus->address() : "unix:path=/nonexistent",
                              fallback.write);
    prompt.show("Needs access", "How");
    prompt.wait();
    EXPECT_EQ(fallen(), "trovik-helper: keyboard: Needs access: How\n");
  }
}

}  // namespace
}  // namespace trovik
