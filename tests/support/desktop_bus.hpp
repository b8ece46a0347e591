#pragma once

// A test's session bus as a desktop and a person see it: gdbus calls, and watchers (gdbus
// monitor, dbus-monitor) whose lines arrive as they are written. Values read as GVariant text:
// 'text', <variant>, [array], (struct), {'key': value}.

#include <stdio.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "support/child_process.hpp"

namespace trovik::testing {

// Calls `method` ("interface.Member") with `arguments` as gdbus takes them: the reply, or
// gdbus's error text.
inline std::string gdbusCall(const std::string& address, const std::string& destination,
                             const std::string& path, const std::string& method,
                             const std::string& arguments = "") {
  const std::string command = "gdbus call --address '" + address + "' --dest " + destination +
                              " --object-path " + path + " --method " + method + " -- " +
                              arguments + " 2>&1";
  std::string text;
  if (FILE* out = popen(command.c_str(), "r")) {
    for (int c; (c = fgetc(out)) != EOF;) text.push_back(static_cast<char>(c));
    pclose(out);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// A shell command that watches the bus; stopped with the object.
class BusWatch {
 public:
  explicit BusWatch(const std::string& command) : process_(start(command, pipe_.write)) {
    pipe_.closeWrite();
  }
  // The next line that contains `text`, within `timeout`; the lines before it are dropped.
  std::optional<std::string> next(std::string_view text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = readLine(pipe_.read, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                deadline - std::chrono::steady_clock::now()))) {
      if (line->find(text) != std::string::npos) return line;
    }
    return std::nullopt;
  }

 private:
  static std::optional<ChildProcess> start(const std::string& command, int fd) {
    std::string error;
    // bash, as sh may not redirect to a descriptor above 9.
    return ChildProcess::spawn({"bash", "-c", "exec " + command + " >&" + std::to_string(fd)}, fd,
                               error);
  }

  Pipe pipe_;
  std::optional<ChildProcess> process_;
};

}  // namespace trovik::testing
