#include "platform/linux/asio_run_loop.hpp"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace trovik {
namespace {

// Fires at a fixed rate on the loop's thread, or once when it has no interval; a tick that
// comes late (the loop was busy or the machine slept) is not made up for. Main thread only.
class AsioTimer final : public Timer, public std::enable_shared_from_this<AsioTimer> {
 public:
  AsioTimer(asio::io_context& context, std::chrono::milliseconds interval,
            std::function<void()> tick)
      : timer_(context), interval_(interval), tick_(std::move(tick)) {}

  void arm(asio::steady_timer::time_point at) {
    timer_.expires_at(at);
    std::weak_ptr<AsioTimer> weak = weak_from_this();
    timer_.async_wait([weak](const std::error_code& error) {
      auto self = weak.lock();  // keeps the timer alive while a tick releases it
      if (!self || error || !self->valid_) return;
      if (self->interval_.count() == 0) self->valid_ = false;
      self->tick_();
      if (!self->valid_) return;
      const auto now = asio::steady_timer::clock_type::now();
      const auto next = self->timer_.expiry() + self->interval_;
      self->arm(next > now ? next : now + self->interval_);
    });
  }

  void invalidate() override {
    valid_ = false;
    timer_.cancel();
  }

 private:
  asio::steady_timer timer_;
  const std::chrono::milliseconds interval_;
  const std::function<void()> tick_;
  bool valid_ = true;
};

}  // namespace

AsioRunLoop::AsioRunLoop()
    : work_(asio::make_work_guard(context_)), thread_(std::this_thread::get_id()) {}

void AsioRunLoop::post(std::function<void()> task) {
  asio::post(context_, std::move(task));
}

std::shared_ptr<Timer> AsioRunLoop::scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> tick) {
  auto timer = std::make_shared<AsioTimer>(context_, interval, std::move(tick));
  timer->arm(asio::steady_timer::clock_type::now() + interval);
  return timer;
}

std::shared_ptr<Timer> AsioRunLoop::scheduleOnce(std::chrono::milliseconds delay,
                                                 std::function<void()> task) {
  auto timer = std::make_shared<AsioTimer>(context_, std::chrono::milliseconds{0}, std::move(task));
  timer->arm(asio::steady_timer::clock_type::now() + delay);
  return timer;
}

bool AsioRunLoop::isCurrentThread() const {
  return thread_.load() == std::this_thread::get_id();
}

void AsioRunLoop::run() {
  thread_.store(std::this_thread::get_id());
  context_.run();
  // A stop ends one run: the loop can be run again.
  context_.restart();
}

void AsioRunLoop::stop() {
  context_.stop();
}

}  // namespace trovik
