#include <fcntl.h>
#include <gtest/gtest.h>

#include "fake_notifications.hpp"
#include "platform/linux/desktop/notification_prompt.hpp"
#include "support/private_bus.hpp"
#include "support/process.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using testing::FakeNotifications;
using test::Pipe;
using testing::PrivateBus;

// Everything written to the fallback so far.
std::string unread(const Pipe& pipe) {
  fcntl(pipe.read, F_SETFL, O_NONBLOCK);
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(pipe.read, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  return text;
}

struct PromptFixture : ::testing::Test {
  void SetUp() override {
    std::string error;
    bus = PrivateBus::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  }
  std::unique_ptr<PrivateBus> bus;
  Pipe fallback;
};

TEST_F(PromptFixture, NotifiesOnceWithoutWaitingForTheService) {
  FakeNotifications service(bus->address(), FakeNotifications::Answer::hold);
  ASSERT_TRUE(service.ready());
  NotificationPrompt prompt(bus->address(), fallback.write);

  prompt.show("Needs access", "How to grant it");  // the service does not answer yet
  prompt.show("Again", "dropped while the first is in flight");
  const auto calls = service.waitForCalls(1, 10s);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].app, "Trovik Helper");
  EXPECT_EQ(calls[0].summary, "Needs access");
  EXPECT_EQ(calls[0].body, "How to grant it");

  service.release();
  prompt.wait();
  EXPECT_EQ(service.waitForCalls(2, 0ms).size(), 1u);
  EXPECT_EQ(unread(fallback), "");
}

TEST_F(PromptFixture, WritesOneGuidanceLineWhenNoNotificationIsShown) {
  const std::string line = "trovik-helper: keyboard: Needs access: How to grant it\n";
  {
    SCOPED_TRACE("no notification service on the bus");
    NotificationPrompt prompt(bus->address(), fallback.write);
    prompt.show("Needs access", "How to grant it");
    prompt.wait();
    EXPECT_EQ(unread(fallback), line);
  }
  {
    SCOPED_TRACE("the service refuses");
    FakeNotifications service(bus->address(), FakeNotifications::Answer::error);
    ASSERT_TRUE(service.ready());
    NotificationPrompt prompt(bus->address(), fallback.write);
    prompt.show("Needs access", "How to grant it");
    prompt.wait();
    EXPECT_EQ(service.waitForCalls(1, 0ms).size(), 1u);
    EXPECT_EQ(unread(fallback), line);
  }
  {
    SCOPED_TRACE("no bus at all");
    NotificationPrompt prompt("unix:path=/nonexistent/bus", fallback.write);
    prompt.show("Needs access", "How to grant it");
    prompt.wait();
    EXPECT_EQ(unread(fallback), line);
  }
}

TEST_F(PromptFixture, ANotificationInFlightIsAbandonedSilentlyAtDestruction) {
  FakeNotifications service(bus->address(), FakeNotifications::Answer::hold);
  ASSERT_TRUE(service.ready());
  {
    NotificationPrompt prompt(bus->address(), fallback.write);
    prompt.show("Needs access", "How to grant it");
    ASSERT_EQ(service.waitForCalls(1, 10s).size(), 1u);
  }  // must return although the service never answers
  EXPECT_EQ(unread(fallback), "");
}

}  // namespace
}  // namespace trovik
