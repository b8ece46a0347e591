#include "platform/linux/desktop/asio_bus_pump.hpp"

#include <fcntl.h>
#include <poll.h>

#include <asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace trovik {

std::shared_ptr<AsioBusPump> AsioBusPump::start(asio::io_context& context, sd_bus* bus,
                                                std::function<void(int)> lost) {
  const int fd = sd_bus_get_fd(bus);
  if (fd < 0) {
    errno = -fd;
    return nullptr;
  }
  // Asio closes what it is given; the bus keeps its own descriptor.
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return nullptr;
  auto pump = std::make_shared<AsioBusPump>(context, bus, copy, std::move(lost));
  pump->schedule();
  return pump;
}

AsioBusPump::AsioBusPump(asio::io_context& context, sd_bus* bus, int fd,
                         std::function<void(int)> lost)
    : context_(context),
      bus_(bus),
      descriptor_(context, fd),
      timer_(context),
      lost_(std::move(lost)) {}

AsioBusPump::~AsioBusPump() {
  stop();
}

void AsioBusPump::schedule() {
  if (scheduled_ || stopped_) return;
  scheduled_ = true;
  asio::post(context_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->scheduled_ = false;
      self->process();
    }
  });
}

void AsioBusPump::stop() {
  stopped_ = true;
  std::error_code ignored;
  descriptor_.cancel(ignored);
  timer_.cancel();
}

void AsioBusPump::process() {
  auto self = shared_from_this();  // a callback of the bus may release the pump's owner
  int r = 0;
  while (!stopped_ && (r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  if (stopped_) return;
  if (r >= 0) r = sd_bus_get_events(bus_);
  if (r < 0) {
    stop();
    if (auto lost = std::move(lost_)) lost(r);
    return;
  }
  arm();
}

void AsioBusPump::arm() {
  const int events = sd_bus_get_events(bus_);
  if (events < 0) return;
  std::weak_ptr<AsioBusPump> weak = weak_from_this();
  const auto wait = [&](bool& waiting, asio::posix::descriptor_base::wait_type type) {
    if (waiting) return;
    waiting = true;
    descriptor_.async_wait(type, [weak, &waiting](const std::error_code& error) {
      auto self = weak.lock();
      if (!self) return;
      waiting = false;  // a member of the pump that is still alive
      if (!error) self->process();
    });
  };
  if (events & POLLIN) wait(readWait_, asio::posix::descriptor_base::wait_read);
  if (events & POLLOUT) wait(writeWait_, asio::posix::descriptor_base::wait_write);

  std::uint64_t until = UINT64_MAX;
  if (sd_bus_get_timeout(bus_, &until) < 0 || until == UINT64_MAX) {
    timer_.cancel();
    return;
  }
  // sd-bus counts on CLOCK_MONOTONIC, which is the steady clock's on Linux.
  timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(until)));
  timer_.async_wait([weak](const std::error_code& error) {
    auto self = weak.lock();
    if (self && !error) self->process();
  });
}

}  // namespace trovik
