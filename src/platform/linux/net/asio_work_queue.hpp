#pragma once

#include <asio/thread_pool.hpp>
#include <cstddef>

#include "platform/work_queue.hpp"

namespace trovik {

// The concurrent queue for network callbacks: an asio::thread_pool of at least two threads.
class AsioWorkQueue final : public WorkQueue {
 public:
  explicit AsioWorkQueue(std::size_t threads);

  void async(std::function<void()> task) override;
  // Waits until every task, and every task they queue, has run; then the threads end.
  // Tasks queued after that never run.
  void join();

 private:
  asio::thread_pool pool_;
};

}  // namespace trovik
