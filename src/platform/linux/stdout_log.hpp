#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/log.hpp"

namespace trovik {

// Counts what had to be dropped and says so on standard error ("trovik-helper: <service>:
// <text(n)>"): about a second after the first drop of a quiet spell, with the count so far,
// then at most once a minute while drops go on. Nothing runs while nothing is dropped.
// add() is thread-safe and never blocks.
class DropCounter {
 public:
  using Text = std::function<std::string(std::uint64_t dropped)>;
  DropCounter(std::string service, Text text);
  void add(std::uint64_t n = 1);

  struct State;  // shared with the thread that reports

 private:
  std::shared_ptr<State> state_;
};

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

// The agent's log on standard output: one whole line per event, never blocking the agent.
// While the reader stalls, lines are dropped and counted on standard error
// ("trovik-helper: log: N lines dropped: standard output is not being read").
class StdoutLog final : public Log {
 public:
  explicit StdoutLog(int fd = STDOUT_FILENO);
  void line(std::string_view text) override;
  bool flush(LineWriter::Clock::time_point deadline) { return writer_.flush(deadline); }

 private:
  LineWriter writer_;
};

// Writes every byte, retrying after signals and partial writes; false (errno set) when the
// descriptor refuses them. Blocks while the descriptor does.
bool writeAll(int fd, std::string_view bytes);

// A backend's note to the user on standard error: "trovik-helper: <service>: <message>",
// one line, queued to a writer of its own so that a stalled standard error never blocks
// the caller. Another `fd` (tests) is written at once.
void diagnose(std::string_view service, std::string_view message, int fd = STDERR_FILENO);
// Waits until the notes queued so far are written, or until `deadline`.
bool flushDiagnostics(LineWriter::Clock::time_point deadline);

}  // namespace trovik
