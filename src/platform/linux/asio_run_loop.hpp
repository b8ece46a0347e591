#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <thread>

#include "platform/run_loop.hpp"

namespace trovik {

// The main thread's loop on an asio::io_context. The thread that constructs it counts as
// the loop's thread until run() is called on another. Timers must be released before it.
class AsioRunLoop final : public RunLoop {
 public:
  AsioRunLoop();

  void post(std::function<void()> task) override;
  std::shared_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                           std::function<void()> tick) override;
  std::shared_ptr<Timer> scheduleOnce(std::chrono::milliseconds delay,
                                      std::function<void()> task) override;
  bool isCurrentThread() const override;
  void run() override;
  void stop() override;

  // For other event sources of the main thread (signals, sockets of the desktop session).
  asio::io_context& context() { return context_; }

 private:
  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<std::thread::id> thread_;
};

}  // namespace trovik
