#include "platform/linux/keyboard/keeper.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <array>

#include "platform/linux/diagnostics.hpp"

namespace trovik {

void KeeperState::run(Clock::duration retryInterval, const std::function<void()>& attempt) {
  // A request written as the peer goes away must not end the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (auto nextAttempt = Clock::now(); !stopping;) {
    const auto now = Clock::now();
    if (now < nextAttempt || standingBy()) {
      pause(now < nextAttempt ? nextAttempt - now : Clock::duration(std::chrono::seconds(1)));
      continue;
    }
    nextAttempt = now + retryInterval;
    attempt();
  }
  std::lock_guard lock(mutex);
  exited = true;
  changed.notify_all();
}

// Counted before access shows: whoever sees access also sees the attempt that gave it.
void KeeperState::attempted(bool connected) {
  std::lock_guard lock(mutex);
  ++attempts;
  usable = connected;
  changed.notify_all();
}

void KeeperState::report(const std::string& why, const std::string& working,
                         const std::string& unavailable) {
  std::lock_guard lock(mutex);
  if (stopping) return;
  if (why.empty()) {
    diagnose("keyboard", working);
  } else if (why != problem) {
    // Said once per new reason: the retries would otherwise flood the log.
    diagnose("keyboard", unavailable + ": " + why);
  }
  problem = why;
}

bool KeeperState::standingBy() {
  // Under the lock that stopping takes: `standby` is never asked after that.
  std::lock_guard lock(mutex);
  return !stopping && standby && standby();
}

void KeeperState::pause(Clock::duration time, int fd, int also) const {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(time, Clock::duration{}));
  // poll skips fd -1
  std::array<pollfd, 3> fds{{{stopFd, POLLIN, 0}, {fd, POLLIN, 0}, {also, POLLIN, 0}}};
  ::poll(fds.data(), fds.size(), static_cast<int>(ms.count()));
}

std::thread startKeeper(std::shared_ptr<KeeperState> state, std::function<void()> body,
                        KeeperState::Clock::duration first) {
  std::thread keeper([state, body = std::move(body)] { body(); });
  if (!state->standingBy()) {
    std::unique_lock lock(state->mutex);
    state->changed.wait_for(lock, first, [&state] { return state->attempts > 0; });
  }
  return keeper;
}

void stopKeeper(KeeperState& state, std::thread& keeper, KeeperState::Clock::duration patience) {
  std::unique_lock lock(state.mutex);
  state.stopping = true;
  eventfd_write(state.stopFd, 1);
  if (state.changed.wait_for(lock, patience, [&state] { return state.exited; })) {
    lock.unlock();
    keeper.join();
  } else {
    keeper.detach();
  }
}

}  // namespace trovik
