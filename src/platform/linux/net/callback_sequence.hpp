#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/work_queue.hpp"

namespace trovik {

// Runs one object's callbacks on a WorkQueue one at a time, in the order they were queued,
// so that states are reported in order and no callback runs inside the call that queued it.
// Tasks queued before start() wait for it. Every method is thread-safe; no lock is held
// while a task runs.
class CallbackSequence {
 public:
  using Task = std::function<void()>;

  // `owner` is the object that holds this sequence: a scheduled run keeps it alive.
  void start(WorkQueue& queue, std::shared_ptr<const void> owner);
  void post(Task task, std::shared_ptr<const void> owner);
  // Drops every queued task, and every task queued later.
  void close();

 private:
  void scheduleLocked(std::shared_ptr<const void> owner);
  void drain(const std::shared_ptr<const void>& owner);

  std::mutex mutex_;
  WorkQueue* queue_ = nullptr;
  std::deque<Task> tasks_;
  bool scheduled_ = false;
  bool closed_ = false;
};

}  // namespace trovik
