#include "fakes/fake_work_queue.hpp"

namespace trovik::fakes {

void ManualWorkQueue::async(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}

int ManualWorkQueue::runAll() {
  int ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return ran;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    ++ran;
  }
}

std::size_t ManualWorkQueue::pending() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

ThreadedWorkQueue::ThreadedWorkQueue(int threads) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

ThreadedWorkQueue::~ThreadedWorkQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void ThreadedWorkQueue::async(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void ThreadedWorkQueue::drain() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return tasks_.empty() && running_ == 0; });
}

void ThreadedWorkQueue::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    ++running_;
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
    --running_;
    if (tasks_.empty() && running_ == 0) idle_.notify_all();
  }
}

}  // namespace trovik::fakes
