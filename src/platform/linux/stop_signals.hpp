#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <thread>

namespace trovik {

// SIGINT and SIGTERM, handled on a thread of their own so that they are heard whatever the
// main thread is doing, and a deadline for the way out: once a stop has begun, the process
// ends with status 0 within `grace`, even when some thread is stuck in a write or a
// connect that will never return.
class StopSignals {
 public:
  // `stop` runs on this object's thread when a signal comes.
  StopSignals(std::function<void()> stop, std::chrono::milliseconds grace);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Starts the deadline: call when the program begins to shut down for any reason.
  void stopping();

 private:
  void armDeadline();

  const std::function<void()> stop_;
  const std::chrono::milliseconds grace_;
  asio::io_context context_{1};
  asio::signal_set signals_;
  asio::steady_timer deadline_;
  bool armed_ = false;  // this object's thread only
  std::thread thread_;
};

// Lets this process hold as many descriptors as its hard limit allows.
void raiseDescriptorLimit();

}  // namespace trovik
