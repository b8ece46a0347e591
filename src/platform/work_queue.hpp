#pragma once

#include <functional>

namespace trovik {

// The concurrent queue on which network callbacks run. Tasks may run at the same time on
// different threads; nothing is promised about their order.
class WorkQueue {
 public:
  virtual ~WorkQueue() = default;
  virtual void async(std::function<void()> task) = 0;
};

}  // namespace trovik
