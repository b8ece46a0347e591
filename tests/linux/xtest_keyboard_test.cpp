#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "platform/linux/keyboard/xtest_keyboard.hpp"
#include "support/test_environment.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::SeenKey;

constexpr KeyCode kMacA = 0, kMacZ = 6;

// An X server, a focused window that records keys, and the agent's keyboard on XTest alone.
// The display number is far from those that servers pick for themselves, so that none takes
// it while the test has its server stopped.
struct XTestFixture : ::testing::Test {
  void SetUp() override {
    std::string error;
    server = testing::XvfbServer::start(error, 1000 + getpid() % 30000);
    TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
    recorder = testing::XKeyRecorder::open(server->display(), error);
    ASSERT_TRUE(recorder) << error;
    std::vector<std::unique_ptr<KeySink>> sinks;
    xtest = static_cast<XTestKeyboard*>(
        sinks.emplace_back(std::make_unique<XTestKeyboard>(server->display())).get());
    keyboard =
        std::make_unique<LinuxKeyboard>(std::move(sinks), std::make_unique<NotificationPrompt>());
    ASSERT_TRUE(keyboard->isProcessTrusted());
  }

  // Whether access becomes `wanted` within `limit`.
  bool accessWithin(bool wanted, Clock::duration limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
      if (keyboard->isProcessTrusted() == wanted) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  std::unique_ptr<testing::XvfbServer> server;
  std::unique_ptr<testing::XKeyRecorder> recorder;
  XTestKeyboard* xtest = nullptr;
  std::unique_ptr<LinuxKeyboard> keyboard;
};

TEST_F(XTestFixture, PressesFromManyThreadsArriveWholeWithShiftOnlyAroundShiftedOnes) {
  std::vector<std::thread> threads;
  for (KeyCode t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        keyboard->press(t, true);        // A S D F
        keyboard->press(18 + t, false);  // 1 2 3 4
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto seen = recorder->takeAll(4 * 100 * (4 + 2), 20s);
  ASSERT_EQ(seen.size(), 4u * 100 * (4 + 2));
  bool shift = false;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const SeenKey& key = seen[i];
    if (key.keycode == testing::kShiftL) {
      ASSERT_NE(shift, key.press) << "Shift pressed or released twice at " << i;
      shift = key.press;
      continue;
    }
    const auto position = std::string_view("ASDF1234").find(char(key.keysym));
    ASSERT_EQ(position < 4, shift) << key << " at " << i;
    ASSERT_EQ(key.shift, shift) << i;
    if (key.press) {  // and up again at once
      ASSERT_EQ(seen.at(i + 1), (SeenKey{false, key.keycode, shift, key.keysym})) << i;
    }
  }
}

TEST_F(XTestFixture, AServerThatEndsRevokesAccessAtOnceUntilANewOneAnswers) {
  const int display = server->number();
  recorder.reset();
  server->stop();
  EXPECT_TRUE(accessWithin(false, 1s));
  // Without a server, one try per retry interval however often access is asked for: the
  // first connection was made at start, the next try 2 s after it.
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(xtest->connectAttempts(), 2);

  std::string error;
  server = testing::XvfbServer::start(error, display);
  ASSERT_TRUE(server) << error;
  EXPECT_TRUE(accessWithin(true, 3s));
  EXPECT_EQ(xtest->connectAttempts(), 3);
  recorder = testing::XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(recorder) << error;
  keyboard->press(kMacA, true);
  std::vector<SeenKey> expected;
  testing::addShiftedPress(expected, {38, 'A'});
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);
}

TEST_F(XTestFixture, AStoppedServerHoldsUpNoPressAndRevokesAccessUntilItGoesOn) {
  // Presses fill the stopped server's socket; the one that finds no room gives up.
  server->signal(SIGSTOP);
  Clock::duration slowest{};
  for (int i = 0; i < 100'000 && keyboard->isProcessTrusted(); ++i) {
    const auto start = Clock::now();
    keyboard->press(kMacA, true);
    slowest = std::max(slowest, Clock::now() - start);
  }
  EXPECT_FALSE(keyboard->isProcessTrusted());
  EXPECT_LT(slowest, 350ms);

  // The server goes on and types what it holds, whole presses only: nothing stays down.
  server->signal(SIGCONT);
  ASSERT_TRUE(accessWithin(true, 3s));
  keyboard->press(kMacZ, false);
  std::vector<SeenKey> seen;
  while (seen.size() < 2 || seen.back().keysym != 'z' || seen.back().press) {
    const auto next = recorder->take(1, 5s);
    ASSERT_EQ(next.size(), 1u) << "no z after " << ::testing::PrintToString(seen);
    seen.push_back(next[0]);
  }
  EXPECT_EQ(seen[seen.size() - 2], (SeenKey{true, 52, false, 'z'}));

  // Stopped while nobody types: the probe finds out. A keyboard made now waits inside
  // xcb_connect for the server, which holds up neither its making nor its end for long.
  server->signal(SIGSTOP);
  EXPECT_TRUE(accessWithin(false, 1500ms));
  const auto start = Clock::now();
  XTestKeyboard(server->display()).press(KEY_A, false);
  EXPECT_LT(Clock::now() - start, 2s);
  server->signal(SIGCONT);
  EXPECT_TRUE(accessWithin(true, 2s));
  EXPECT_EQ(xtest->connectAttempts(), 1);
}

}  // namespace
}  // namespace trovik
