#include "platform/linux/stop_signals.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <csignal>

namespace trovik {

StopSignals::StopSignals(std::function<void()> stop, std::chrono::milliseconds grace)
    : stop_(std::move(stop)),
      grace_(grace),
      signals_(context_, SIGINT, SIGTERM),
      deadline_(context_) {
  signals_.async_wait([this](const std::error_code& error, int) {
    if (error) return;
    armDeadline();
    stop_();
  });
  thread_ = std::thread([this] { context_.run(); });
}

StopSignals::~StopSignals() {
  context_.stop();
  thread_.join();
}

void StopSignals::stopping() {
  asio::post(context_, [this] { armDeadline(); });
}

void StopSignals::armDeadline() {
  if (armed_) return;
  armed_ = true;
  deadline_.expires_after(grace_);
  deadline_.async_wait([](const std::error_code& error) {
    // Whatever has not finished by now never will: leave without waiting for it.
    if (!error) ::_exit(0);
  });
}

void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace trovik
