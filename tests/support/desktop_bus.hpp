#pragma once

// A test's session bus as a desktop and a person see it: the agent's tray item called with
// gdbus, and watchers (gdbus monitor, dbus-monitor) whose lines arrive as they are written. Values
// read as GVariant text: 'text', <variant>, [array], (struct), {'key': value}.

#include <stdio.h>

#include "support/process.hpp"

namespace trovik::testing {

// The tray item of the agent with process id `agent` on the bus at `address`, called as a
// tray calls it: each reply, or gdbus's error text.
struct TrayItem {
  TrayItem(std::string address, pid_t agent)
      : address(std::move(address)),
        name("org.kde.StatusNotifierItem-" + std::to_string(agent) + "-1") {}
  std::string menu(const std::string& method, const std::string& arguments) const {
    return call("/MenuBar", "com.canonical.dbusmenu." + method, arguments);
  }
  std::string property(const std::string& property) const {
    return call("/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                "org.kde.StatusNotifierItem " + property);
  }
  std::string call(const std::string& path, const std::string& method,
                   const std::string& arguments) const {
    const std::string command = "gdbus call --address '" + address + "' --dest " + name +
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
  const std::string address, name;
};

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
