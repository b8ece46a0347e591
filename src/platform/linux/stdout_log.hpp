#pragma once

#include <unistd.h>

#include "platform/linux/line_writer.hpp"
#include "platform/log.hpp"

namespace trovik {

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

}  // namespace trovik
