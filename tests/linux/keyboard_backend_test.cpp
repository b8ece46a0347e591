#include <gtest/gtest.h>

#include "fake_notifications.hpp"
#include "fakes/fake_services.hpp"
#include "keys/key_posting.hpp"
#include "platform/linux/keyboard/keyboard_backend.hpp"
#include "private_bus.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using testing::FakeNotifications;

constexpr KeyCode kMacOne = 18;

TEST(KeyboardBackend, WithoutUinputOrDisplayAccessIsDeniedAndThePromptSaysHowToGrantIt) {
  std::string error;
  auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  FakeNotifications service(bus->address(), FakeNotifications::Answer::reply);
  ASSERT_TRUE(service.ready());
  const KeyboardBackendOptions options{
      .uinputPath = "/nonexistent/uinput", .display = "", .sessionBus = bus->address()};
  {
    auto backend = makeKeyboardBackend(options);
    fakes::FakeLog log;
    EXPECT_FALSE(backend.trust->isProcessTrusted());
    keys::postKey(kMacOne, *backend.events, *backend.trust, log);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Trovik: Accessibility permission not granted"});
  }  // the plain check never prompts
  EXPECT_TRUE(service.waitForCalls(1, 0ms).empty());

  auto backend = makeKeyboardBackend(options);
  EXPECT_FALSE(backend.trust->isProcessTrustedWithPrompt());
  const auto calls = service.waitForCalls(1, 10s);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].summary, "Trovik Helper needs keyboard access");
  EXPECT_NE(calls[0].body.find("/nonexistent/uinput is missing (the uinput module is not loaded)"),
            std::string::npos)
      << calls[0].body;
  EXPECT_NE(calls[0].body.find("70-trovik-helper-uinput.rules"), std::string::npos);
}

TEST(KeyboardBackend, WithoutUinputKeysGoThroughXTestOnTheDisplay) {
  std::string error;
  auto server = testing::XvfbServer::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
  auto recorder = testing::XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(recorder) << error;

  auto backend = makeKeyboardBackend(
      {.uinputPath = "/nonexistent/uinput", .display = server->display(), .sessionBus = {}});
  EXPECT_TRUE(backend.trust->isProcessTrustedWithPrompt());
  keys::postKeyWithShift(kMacOne, *backend.events, *backend.trust);
  const std::vector<testing::SeenKey> expected = {{true, 50, false, 0xffe1},
                                                  {true, 10, true, '!'},
                                                  {false, 10, true, '!'},
                                                  {false, 50, true, 0xffe1}};
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);
}

}  // namespace
}  // namespace trovik
