#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/timeline.hpp"
#include "platform/run_loop.hpp"

namespace trovik::fakes {

// A main loop on virtual time: nothing runs until the test says so.
class FakeRunLoop final : public RunLoop, public Recording {
 public:
  FakeRunLoop() : mainThread_(std::this_thread::get_id()) {}

  void post(std::function<void()> task) override;
  std::shared_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                           std::function<void()> tick) override;
  bool isCurrentThread() const override { return std::this_thread::get_id() == mainThread_; }
  void run() override { runPending(); }
  void stop() override { stopped_ = true; }

  // Runs posted tasks (and tasks they post) until none is left; returns how many ran.
  int runPending();
  // Moves virtual time forward, firing every timer whose time comes, in time order.
  void advance(std::chrono::milliseconds by);
  std::chrono::milliseconds now() const { return now_; }
  bool stopped() const { return stopped_; }
  std::size_t liveTimers() const;

 private:
  struct FakeTimer;
  std::thread::id mainThread_;
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
  std::vector<std::weak_ptr<FakeTimer>> timers_;
  std::chrono::milliseconds now_{0};
  bool stopped_ = false;
};

}  // namespace trovik::fakes
