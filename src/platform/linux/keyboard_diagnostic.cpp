#include "platform/linux/keyboard_diagnostic.hpp"

#include <cerrno>
#include <string>

namespace trovik {

void keyboardDiagnostic(std::string_view text, int fd) {
  std::string line = "trovik-helper: keyboard: ";
  line.append(text);
  line.push_back('\n');
  ssize_t n;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

}  // namespace trovik
