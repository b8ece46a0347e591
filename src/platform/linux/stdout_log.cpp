#include "platform/linux/stdout_log.hpp"

#include <cerrno>
#include <string>

namespace trovik {

bool writeAll(int fd, std::string_view bytes) {
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool writeLine(int fd, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  return writeAll(fd, line);
}

void StdoutLog::line(std::string_view text) {
  std::lock_guard lock(mutex_);
  writeLine(fd_, text);
}

void diagnose(std::string_view service, std::string_view message, int fd) {
  std::string text = "trovik-helper: ";
  text.append(service).append(": ").append(message);
  writeLine(fd, text);
}

}  // namespace trovik
