#include "platform/linux/net/callback_sequence.hpp"

namespace trovik {

void CallbackSequence::start(WorkQueue& queue, std::shared_ptr<const void> owner) {
  std::lock_guard lock(mutex_);
  if (queue_ || closed_) return;
  queue_ = &queue;
  scheduleLocked(std::move(owner));
}

void CallbackSequence::post(Task task, std::shared_ptr<const void> owner) {
  std::deque<Task> dropped;  // destroyed after the lock is released
  std::lock_guard lock(mutex_);
  if (closed_) {
    dropped.push_back(std::move(task));
    return;
  }
  tasks_.push_back(std::move(task));
  scheduleLocked(std::move(owner));
}

void CallbackSequence::close() {
  std::deque<Task> dropped;
  std::lock_guard lock(mutex_);
  closed_ = true;
  dropped.swap(tasks_);
}

void CallbackSequence::scheduleLocked(std::shared_ptr<const void> owner) {
  if (!queue_ || scheduled_ || tasks_.empty()) return;
  scheduled_ = true;
  queue_->async([this, owner = std::move(owner)] { drain(owner); });
}

void CallbackSequence::drain(const std::shared_ptr<const void>& owner) {
  // Only the tasks queued so far: one queued by a task runs in a later turn of the queue,
  // so a busy object cannot hold a worker thread for ever.
  std::size_t budget;
  {
    std::lock_guard lock(mutex_);
    budget = tasks_.size();
  }
  for (; budget > 0; --budget) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (closed_ || tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
  std::lock_guard lock(mutex_);
  scheduled_ = false;
  scheduleLocked(owner);
}

}  // namespace trovik
