#include "fakes/fake_run_loop.hpp"

#include <algorithm>

namespace trovik::fakes {

struct FakeRunLoop::FakeTimer final : Timer {
  std::chrono::milliseconds interval;
  std::chrono::milliseconds due;
  std::function<void()> tick;
  bool valid = true;
  void invalidate() override { valid = false; }
};

void FakeRunLoop::post(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(task));
}

std::shared_ptr<Timer> FakeRunLoop::scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> tick) {
  record("runLoop.scheduleRepeating(" + std::to_string(interval.count()) + "ms)");
  auto timer = std::make_shared<FakeTimer>();
  timer->interval = interval;
  timer->due = now_ + interval;
  timer->tick = std::move(tick);
  std::lock_guard lock(mutex_);
  timers_.push_back(timer);
  return timer;
}

int FakeRunLoop::runPending() {
  int ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return ran;
      task = std::move(posted_.front());
      posted_.pop_front();
    }
    task();
    ++ran;
  }
}

void FakeRunLoop::advance(std::chrono::milliseconds by) {
  const auto end = now_ + by;
  for (;;) {
    std::shared_ptr<FakeTimer> next;
    {
      std::lock_guard lock(mutex_);
      std::erase_if(timers_, [](const auto& w) {
        auto t = w.lock();
        return !t || !t->valid;
      });
      for (const auto& w : timers_) {
        auto t = w.lock();
        if (t->due <= end && (!next || t->due < next->due)) next = t;
      }
    }
    if (!next) break;
    now_ = next->due;
    next->due += next->interval;
    next->tick();
    runPending();
  }
  now_ = end;
}

std::size_t FakeRunLoop::liveTimers() const {
  std::lock_guard lock(mutex_);
  return std::count_if(timers_.begin(), timers_.end(), [](const auto& w) {
    auto t = w.lock();
    return t && t->valid;
  });
}

}  // namespace trovik::fakes
