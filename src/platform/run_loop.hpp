#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace trovik {

// A timer: a repeating one keeps firing until invalidated or released; a one-shot one fires
// once, unless invalidated or released first.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
};

// The main thread's event loop. Menu actions, timer ticks and workspace events run here.
class RunLoop {
 public:
  virtual ~RunLoop() = default;

  // Queues a task to run on the main thread; callable from any thread.
  virtual void post(std::function<void()> task) = 0;

  // Schedules `tick` every `interval` on the main thread; the first tick comes after one
  // interval. Call on the main thread.
  virtual std::shared_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                                   std::function<void()> tick) = 0;

  // Runs `task` once, `delay` from now, on the main thread. Call on the main thread.
  virtual std::shared_ptr<Timer> scheduleOnce(std::chrono::milliseconds delay,
                                              std::function<void()> task) = 0;

  // True when the caller is on the thread that runs this loop.
  virtual bool isCurrentThread() const = 0;

  // Runs until stop(); call on the main thread.
  virtual void run() = 0;
  // Makes run() return; callable from any thread.
  virtual void stop() = 0;
};

}  // namespace trovik
