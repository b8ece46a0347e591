#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "fakes/fake_services.hpp"
#include "keys/key_posting.hpp"
#include "keys/key_spec.hpp"
#include "platform/linux/icu_text.hpp"
#include "platform/linux/keyboard/keyboard_access.hpp"
#include "platform/linux/keyboard/sequenced_keyboard.hpp"
#include "platform/linux/keyboard/xtest_keyboard.hpp"
#include "support/test_environment.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik {
namespace {

using testing::addPress;
using testing::addShiftedPress;
using testing::Key;
using testing::kShiftL;
using testing::kSymShiftL;
using testing::SeenKey;
using testing::XKeyRecorder;
using testing::XvfbServer;
using namespace std::chrono_literals;

struct ManualClock {
  std::atomic<std::int64_t> ms{0};
  SteadyClock clock() {
    return [this] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms)); };
  }
};

// An X server, a focused window recording keys, and the agent's keyboard on XTest alone.
struct XTestFixture : ::testing::Test {
  void SetUp() override {
    std::string error;
    server = XvfbServer::start(error);
    TROVIK_REQUIRE_ENVIRONMENT(server, "needs Xvfb: " + error);
    openKeyboard();
    recorder = XKeyRecorder::open(server->display(), error);
    ASSERT_TRUE(recorder) << error;
  }

  void openKeyboard() {
    auto sink = std::make_unique<XTestKeyboard>(server->display(), time.clock());
    xtest = sink.get();
    std::vector<std::unique_ptr<KeySink>> sinks;
    sinks.push_back(std::move(sink));
    keyboard = std::make_unique<SequencedKeyboard>(std::move(sinks));
    access = std::make_unique<KeyboardAccess>(*keyboard, std::make_unique<NotificationPrompt>());
  }

  // What the agent does with a command text once it has been received.
  void command(std::string_view text) {
    if (const auto press = keys::keyPressForSpec(text, unicode)) post(*press);
  }
  void post(keys::KeyPress press) {
    if (press.shift) {
      keys::postKeyWithShift(press.code, *keyboard, *access);
    } else {
      keys::postKey(press.code, *keyboard, *access, log);
    }
  }

  ManualClock time;
  IcuText unicode;
  fakes::FakeLog log;
  std::unique_ptr<XvfbServer> server;
  XTestKeyboard* xtest = nullptr;
  std::unique_ptr<SequencedKeyboard> keyboard;
  std::unique_ptr<KeyboardAccess> access;
  std::unique_ptr<XKeyRecorder> recorder;
};

TEST_F(XTestFixture, CommandsTypeExactlyTheirKeysWithShiftOnlyWhenAsked) {
  ASSERT_TRUE(access->isProcessTrusted());
  for (const char* text : {"SPACE", "RETURN", "LEFT", "PREV_FRAME", "[", "~", "a", "A", "7",
                           "shift+a", "shift+1", "esc"}) {
    command(text);
  }
  std::vector<SeenKey> expected;
  addPress(expected, {65, ' '});
  addPress(expected, {36, 0xff0d});   // Return
  addPress(expected, {113, 0xff51});  // Left
  addPress(expected, {113, 0xff51});
  addPress(expected, {34, '['});
  addPress(expected, {49, '`'});  // ~ is the grave key, typed without Shift
  addPress(expected, {38, 'a'});
  addPress(expected, {38, 'a'});
  addPress(expected, {16, '7'});
  addShiftedPress(expected, {38, 'A'});
  addShiftedPress(expected, {10, '!'});
  addPress(expected, {26, 'e'});  // "esc" is not a key name: its first letter
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(XTestFixture, TheServerGoingAwayRevokesAccessAndItReturnsWithoutAReconnectStorm) {
  ASSERT_TRUE(access->isProcessTrusted());
  EXPECT_EQ(xtest->connectAttempts(), 1);
  const int display = server->number();
  recorder.reset();
  server->stop();

  EXPECT_FALSE(access->isProcessTrusted());
  command("a");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Trovik: Accessibility permission not granted"});
  for (int i = 0; i < 1000; ++i) ASSERT_FALSE(access->isProcessTrusted());
  time.ms = 1999;
  EXPECT_FALSE(access->isProcessTrusted());
  EXPECT_EQ(xtest->connectAttempts(), 1);
  time.ms = 2000;
  EXPECT_FALSE(access->isProcessTrusted());
  EXPECT_EQ(xtest->connectAttempts(), 2);

  std::string error;
  server = XvfbServer::start(error, display);
  ASSERT_TRUE(server) << error;
  EXPECT_FALSE(access->isProcessTrusted());  // not yet: the last attempt was just now
  EXPECT_EQ(xtest->connectAttempts(), 2);
  time.ms = 4000;
  EXPECT_TRUE(access->isProcessTrusted());
  EXPECT_EQ(xtest->connectAttempts(), 3);

  recorder = XKeyRecorder::open(server->display(), error);
  ASSERT_TRUE(recorder) << error;
  command("shift+a");
  std::vector<SeenKey> expected;
  addShiftedPress(expected, {38, 'A'});
  EXPECT_EQ(recorder->takeAll(expected.size(), 10s), expected);
}

TEST_F(XTestFixture, ABurstOfCommandsArrivesInOrder) {
  ASSERT_TRUE(access->isProcessTrusted());
  const std::string keys = "qwertyuiopasdfghjklzxcvbnm1234567890";
  std::vector<xcb_keysym_t> sent;
  for (int i = 0; i < 200; ++i) {
    const char key = keys[(i * 7) % keys.size()];
    command(std::string(1, key));
    sent.push_back(xcb_keysym_t(key));
  }
  const auto seen = recorder->takeAll(2 * sent.size(), 10s);
  ASSERT_EQ(seen.size(), 2 * sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(seen[2 * i], (SeenKey{true, seen[2 * i].keycode, false, sent[i]})) << i;
    EXPECT_EQ(seen[2 * i + 1], (SeenKey{false, seen[2 * i].keycode, false, sent[i]})) << i;
  }
}

TEST_F(XTestFixture, ABurstFromManyThreadsArrivesWholeWithShiftOnlyOnShiftedPresses) {
  ASSERT_TRUE(access->isProcessTrusted());
  // The threads share the keyboard only: the texts are parsed here.
  std::vector<std::thread> threads;
  for (const char* text : {"shift+a", "b", "shift+c", "7"}) {
    const auto press = keys::keyPressForSpec(text, unicode);
    ASSERT_TRUE(press) << text;
    threads.emplace_back([&, press = *press] {
      for (int i = 0; i < 50; ++i) post(press);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto seen = recorder->takeAll(2u * 50 * 4 + 2u * 50 * 2, 20s);
  ASSERT_EQ(seen.size(), 2u * 50 * 4 + 2u * 50 * 2);
  bool shift = false;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const SeenKey& key = seen[i];
    if (key.keycode == kShiftL) {
      ASSERT_NE(shift, key.press) << i;
      shift = key.press;
      continue;
    }
    ASSERT_EQ(key.shift, shift) << i;
    const bool letterShifted = key.keysym == 'A' || key.keysym == 'C';
    ASSERT_EQ(letterShifted, shift) << "Shift on the wrong key at " << i << ": " << key;
  }
}

}  // namespace
}  // namespace trovik
