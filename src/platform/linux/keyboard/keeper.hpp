#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace trovik {

// What a keyboard backend shares with its keeper thread, which owns the connection: it
// connects, at most once per retry interval and not while the backend stands by, watches the
// connection until it ends, and starts over. The thread holds the state, so that a keeper
// still waiting on a peer that does not answer can be left to end by itself.
struct KeeperState {
  using Clock = std::chrono::steady_clock;

  explicit KeeperState(std::function<bool()> standby_) : standby(std::move(standby_)) {}
  ~KeeperState() { ::close(stopFd); }
  KeeperState(const KeeperState&) = delete;
  KeeperState& operator=(const KeeperState&) = delete;

  // The keeper thread's loop: `attempt` connects and watches what it made until that ends.
  void run(Clock::duration retryInterval, const std::function<void()>& attempt);
  // An attempt has ended, with a connection or without. Under `pressMutex`, with `current` set.
  void attempted(bool connected);
  // `why` empty: typing works (again), and `working` says how; else `unavailable` with why,
  // once per new reason.
  void report(const std::string& why, const std::string& working, const std::string& unavailable);
  bool standingBy();
  // Sleeps for `time`, less when stopping or when `fd` or `also` has something to read.
  void pause(Clock::duration time, int fd = -1, int also = -1) const;

  const std::function<bool()> standby;
  const int stopFd = eventfd(0, EFD_CLOEXEC);  // readable once stopping
  std::atomic<bool> stopping{false};
  std::atomic<bool> usable{false};  // a connection is there and its peer answers
  std::mutex pressMutex;            // one press at a time; guards the backend's connection

  mutable std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  std::string problem;
  int attempts = 0;  // that have ended
  bool exited = false;
};

// Starts the keeper, which runs `body` holding `state`, and waits up to `first` for its first
// attempt unless the backend stands by: the launch check comes right after.
std::thread startKeeper(std::shared_ptr<KeeperState> state, std::function<void()> body,
                        KeeperState::Clock::duration first);
// Stops it: joined when it ends within `patience`, else left to end by itself.
void stopKeeper(KeeperState& state, std::thread& keeper, KeeperState::Clock::duration patience);

}  // namespace trovik
