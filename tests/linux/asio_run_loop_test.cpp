// The main loop, its timers and the application on Asio.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/desktop/run_loop_application.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;

TEST(AsioRunLoop, RepeatingTimerFirstFiresAfterOneIntervalAndKeepsFiring) {
  AsioRunLoop loop;
  const auto begin = std::chrono::steady_clock::now();
  std::vector<std::chrono::steady_clock::duration> ticks;
  auto timer = loop.scheduleRepeating(20ms, [&] {
    EXPECT_TRUE(loop.isCurrentThread());
    ticks.push_back(std::chrono::steady_clock::now() - begin);
    if (ticks.size() == 3) loop.stop();
  });
  loop.run();
  ASSERT_EQ(ticks.size(), 3u);
  EXPECT_GE(ticks[0], 20ms);
  EXPECT_GE(ticks[2], 60ms);  // fixed rate: never faster than the interval
}

TEST(AsioRunLoop, TimerStopsWhenInvalidatedInItsTickOrReleased) {
  AsioRunLoop loop;
  int invalidatedTicks = 0, releasedTicks = 0;
  std::shared_ptr<Timer> invalidated, released;
  invalidated = loop.scheduleRepeating(5ms, [&] {
    ++invalidatedTicks;
    invalidated->invalidate();
  });
  released = loop.scheduleRepeating(5ms, [&] {
    ++releasedTicks;
    released.reset();  // the tick destroys its own timer
  });
  // Long enough for several more ticks of either, had they kept going.
  auto end = loop.scheduleRepeating(50ms, [&] { loop.stop(); });
  loop.run();
  EXPECT_EQ(invalidatedTicks, 1);
  EXPECT_EQ(releasedTicks, 1);
}

TEST(AsioRunLoop, RunsTasksPostedFromOtherThreadsOnItsOwnThread) {
  AsioRunLoop loop;
  constexpr int kThreads = 4, kTasks = 500;
  int ran = 0;  // main thread only
  bool allOnLoopThread = true;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&] {
      EXPECT_FALSE(loop.isCurrentThread());
      for (int i = 0; i < kTasks; ++i) {
        loop.post([&] {
          allOnLoopThread = allOnLoopThread && loop.isCurrentThread();
          if (++ran == kThreads * kTasks) loop.stop();
        });
      }
    });
  }
  loop.run();
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(ran, kThreads * kTasks);
  EXPECT_TRUE(allOnLoopThread);
}

TEST(AsioRunLoop, StopFromAnotherThreadOrByTerminateEndsRun) {
  AsioRunLoop loop;
  std::thread stopper;
  loop.post([&] { stopper = std::thread([&] { loop.stop(); }); });
  loop.run();  // returns: the test would time out otherwise
  stopper.join();

  RunLoopApplication application(loop);
  application.setActivationPolicy(ActivationPolicy::accessory);  // nothing to do here
  loop.post([&] { application.terminate(); });
  loop.run();
}

}  // namespace
}  // namespace trovik
