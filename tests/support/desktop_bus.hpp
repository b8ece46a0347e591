#pragma once

// A test's session bus as a desktop and a person see it: gdbus calls, and watchers (gdbus
// monitor, dbus-monitor) whose lines arrive as they are written. Values read as GVariant text:
// 'text', <variant>, [array], (struct), {'key': value}.

#include <stdio.h>

#include "support/process.hpp"

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
  explicit BusWatch(const std::string& command)
      : process_({{"bash", "-c", "exec " + command}, {}, {}, true}) {}
  // The next line that contains `text`, within `timeout`; the lines before it are dropped.
  std::optional<std::string> next(std::string_view text, std::chrono::milliseconds timeout) {
    return process_.waitForLine(
        [text](const std::string& line) { return line.find(text) != std::string::npos; }, timeout);
  }

 private:
  test::Process process_;
};

}  // namespace trovik::testing
