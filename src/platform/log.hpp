#pragma once

#include <string_view>

namespace trovik {

// The agent's own log: one whole line per call, never torn by concurrent callers.
// The sink adds the line break.
class Log {
 public:
  virtual ~Log() = default;
  virtual void line(std::string_view text) = 0;
};

}  // namespace trovik
