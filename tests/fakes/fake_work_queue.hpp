#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/work_queue.hpp"

namespace trovik::fakes {

// Runs nothing until the test asks, so every interleaving is chosen by the test.
class ManualWorkQueue final : public WorkQueue {
 public:
  void async(std::function<void()> task) override;
  // Runs queued tasks, and those they queue, until none is left; returns how many ran.
  int runAll();
  std::size_t pending() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

// Real threads, for race tests.
class ThreadedWorkQueue final : public WorkQueue {
 public:
  explicit ThreadedWorkQueue(int threads);
  ~ThreadedWorkQueue() override;
  void async(std::function<void()> task) override;
  // Blocks until every queued task, and every task those queue, has finished.
  void drain();

 private:
  void work();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> tasks_;
  int running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace trovik::fakes
