#pragma once

#include <functional>

namespace trovik {

// A stretch of work on one thread whose outputs matter first: a command's key and its
// datagrams. While one lives, work that only wakes another process (the log's writer, the
// X server's read of queued requests) waits until the outermost one ends, so that nothing
// competes for the CPU before the datagrams are out.
class Burst {
 public:
  Burst();
  ~Burst();
  Burst(const Burst&) = delete;
  Burst& operator=(const Burst&) = delete;

  // Runs `work` when this thread's burst ends, once per `key` however often it is asked
  // for; false, with nothing kept, when no burst is running here: the caller does it now.
  static bool defer(const void* key, std::function<void()> work);
};

}  // namespace trovik
