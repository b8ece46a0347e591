#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

#include "platform/linux/drop_counter.hpp"

namespace trovik {

// Lines for one descriptor, written by a thread of their own, so that a reader that stalls
// never stalls the caller. Lines wait in a bounded buffer; what does not fit is dropped and
// counted. Lines leave whole and in order. Thread-safe.
class LineWriter {
 public:
  using Clock = std::chrono::steady_clock;

  // `drops`, when given, counts the lines dropped.
  LineWriter(int fd, std::size_t capacity, std::shared_ptr<DropCounter> drops = {});
  // Gives the reader a moment to take what is queued; a writer stuck in write(2) is left
  // behind, so that destruction never waits on a reader.
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Queues `text` and a line break; false when the buffer is full and the line is dropped.
  bool put(std::string_view text);
  // Waits until every line queued so far is written, or until `deadline`; true when all are.
  bool flush(Clock::time_point deadline);

  struct State;  // shared with the writing thread

 private:
  std::shared_ptr<State> state_;
};

// Writes every byte, retrying after signals and partial writes; false (errno set) when the
// descriptor refuses them. Blocks while the descriptor does.
bool writeAll(int fd, std::string_view bytes);

}  // namespace trovik
