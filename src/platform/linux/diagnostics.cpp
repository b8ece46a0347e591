#include "platform/linux/diagnostics.hpp"

#include <string>

#include "platform/linux/line_writer.hpp"

namespace trovik {
namespace {

LineWriter& diagnostics() {
  static auto* writer = new LineWriter(STDERR_FILENO, 64 * 1024);  // lives as long as the process
  return *writer;
}

}  // namespace

void diagnose(std::string_view service, std::string_view message, int fd) {
  std::string text = "trovik-helper: ";
  text.append(service).append(": ").append(message);
  if (fd == STDERR_FILENO) {
    diagnostics().put(text);
  } else {
    text.push_back('\n');
    writeAll(fd, text);
  }
}

bool flushDiagnostics(std::chrono::steady_clock::time_point deadline) {
  return diagnostics().flush(deadline);
}

}  // namespace trovik
