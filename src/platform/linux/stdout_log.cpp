#include "platform/linux/stdout_log.hpp"

#include <memory>
#include <string>

namespace trovik {

StdoutLog::StdoutLog(int fd)
    : writer_(fd, 256 * 1024, std::make_shared<DropCounter>("log", [](std::uint64_t n) {
                return std::to_string(n) + " lines dropped: standard output is not being read";
              })) {}

void StdoutLog::line(std::string_view text) {
  writer_.put(text);
}

}  // namespace trovik
