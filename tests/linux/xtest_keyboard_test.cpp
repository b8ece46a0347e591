// XTest against a private Xvfb server with a focused window that records keys: whole presses
// from many threads, and a server that goes away or stops answering.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/linux/keyboard/xtest_keyboard.hpp"
#include "support/mailbox.hpp"
#include "support/test_environment.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using testing::SeenKey;

// The display number is far from those that servers pick for themselves, so that none takes
// it while the test has its server stopped.
struct XTestFixture : ::testing::Test {
  void SetUp() override {
    const std::string error = serve(1000 + getpid() % 30000);
    TROVIK_REQUIRE_ENVIRONMENT(error.empty(), error);
    xtest = std::make_unique<XTestKeyboard>(server->display());
  }
  // An X server on `display` with a focused window that records keys; why not, if not.
  std::string serve(int display) {
    std::string error;
    server = testing::XvfbServer::start(error, display);
    if (server) recorder = testing::XKeyRecorder::open(server->display(), error);
    return server && recorder ? "" : "needs Xvfb and a window on it: " + error;
  }
  bool accessWithin(bool wanted, std::chrono::milliseconds limit) {
    return test::waitUntil([&] { return xtest->usable() == wanted; }, limit);
  }

  std::unique_ptr<testing::XvfbServer> server;
  std::unique_ptr<testing::XKeyRecorder> recorder;
  std::unique_ptr<XTestKeyboard> xtest;
};

TEST_F(XTestFixture, PressesFromManyThreadsArriveWholeWithShiftOnlyAroundShiftedOnes) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {  // A S D F with Shift, 1 2 3 4 without, in turn
      for (int i = 0; i < 200; ++i) xtest->press(i % 2 ? KEY_1 + t : KEY_A + t, i % 2 == 0);
    });
  for (auto& thread : threads) thread.join();
  const auto seen = recorder->takeAll(4 * 100 * (4 + 2), 20s);
  ASSERT_EQ(seen.size(), 4u * 100 * (4 + 2));
  // Whole presses one after another, each of the key it starts with: letters with Shift.
  std::vector<SeenKey> whole;
  for (std::size_t i = 0; i < seen.size(); i = whole.size()) {
    const bool shifted = seen[i].keycode == testing::kShiftL;
    const SeenKey& key = seen.at(i + shifted);
    const int first = shifted ? KEY_A + 8 : KEY_1 + 8;
    ASSERT_TRUE(key.keycode >= first && key.keycode < first + 4) << key;
    testing::addPress(whole, key.keycode, shifted);
  }
  EXPECT_EQ(seen, whole);
}

TEST_F(XTestFixture, AServerThatEndsRevokesAccessAtOnceUntilANewOneAnswers) {
  server->stop();
  EXPECT_TRUE(accessWithin(false, 1s));
  // Without a server, one try per retry interval however often access is asked for: the
  // first connection was made at start, the next try 2 s after it.
  EXPECT_FALSE(accessWithin(true, 2500ms));
  EXPECT_EQ(xtest->connectAttempts(), 2);
  ASSERT_EQ(serve(server->number()), "");
  EXPECT_TRUE(accessWithin(true, 3s));
  EXPECT_EQ(xtest->connectAttempts(), 3);
  xtest->press(KEY_A, true);
  std::vector<SeenKey> expected;
  testing::addPress(expected, KEY_A + 8, true);
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);
}

TEST_F(XTestFixture, AStoppedServerHoldsUpNoPressAndRevokesAccessUntilItGoesOn) {
  // Presses fill the stopped server's socket; the one that finds no room gives up.
  server->signal(SIGSTOP);
  for (int i = 0; i < 100'000 && xtest->usable(); ++i) {
    const auto start = std::chrono::steady_clock::now();
    xtest->press(KEY_A, true);
    ASSERT_LT(std::chrono::steady_clock::now() - start, 350ms) << "press " << i;
  }
  EXPECT_FALSE(xtest->usable());

  // The server goes on and types what it holds, whole presses only: nothing stays down, so
  // an unshifted z comes after them.
  server->signal(SIGCONT);
  ASSERT_TRUE(accessWithin(true, 3s));
  xtest->press(KEY_Z, false);
  std::vector<SeenKey> seen;
  while (seen.empty() || seen.back() != SeenKey{false, KEY_Z + 8, false}) {
    const auto next = recorder->take(1, 5s);
    ASSERT_EQ(next.size(), 1u) << "no unshifted z after " << ::testing::PrintToString(seen);
    seen.push_back(next[0]);
  }

  // Stopped while nobody types: the probe finds out. A keyboard made now waits inside
  // xcb_connect for the server, which holds up neither its making nor its end for long.
  server->signal(SIGSTOP);
  EXPECT_TRUE(accessWithin(false, 1500ms));
  const auto start = std::chrono::steady_clock::now();
  XTestKeyboard(server->display()).press(KEY_A, false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  server->signal(SIGCONT);
  EXPECT_TRUE(accessWithin(true, 2s));
  EXPECT_EQ(xtest->connectAttempts(), 1);
}

}  // namespace
}  // namespace trovik
