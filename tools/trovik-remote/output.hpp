#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace trovik::remote {

// One whole line at once, flushed, so pipes and terminals see it as it happens.
inline void emitLine(std::FILE* to, std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), to);
  std::fflush(to);
}

// "1 s", "0.25 s": a time limit as the user gave it.
inline std::string secondsText(std::chrono::milliseconds limit) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(limit.count()) / 1000);
  return text;
}

}  // namespace trovik::remote
