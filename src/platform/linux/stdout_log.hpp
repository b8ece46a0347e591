#pragma once

#include <unistd.h>
#include <mutex>
#include <string_view>

#include "platform/log.hpp"

namespace trovik {

// The agent's log on standard output (or another descriptor): each line goes out in one
// write(2), line break included, and concurrent callers never tear a line, even when the
// kernel takes a long line in parts.
class StdoutLog final : public Log {
 public:
  explicit StdoutLog(int fd = STDOUT_FILENO) : fd_(fd) {}
  void line(std::string_view text) override;

 private:
  const int fd_;
  std::mutex mutex_;
};

// Writes every byte, retrying after signals and partial writes; false (errno set) when the
// descriptor refuses them.
bool writeAll(int fd, std::string_view bytes);

// Writes `text` and a line break, in one write(2) unless the kernel takes only part of it;
// retries after signals and partial writes. False when the descriptor refuses the line.
bool writeLine(int fd, std::string_view text);

// A backend's note to the user on standard error: "trovik-helper: <service>: <message>",
// as one line that concurrent notes never tear.
void diagnose(std::string_view service, std::string_view message, int fd = STDERR_FILENO);

}  // namespace trovik
