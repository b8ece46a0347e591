#pragma once

#include <memory>
#include <optional>
#include <string>

#include "support/child_process.hpp"

namespace trovik::testing {

// A private Xvfb X server for one test, stopped when destroyed.
class XvfbServer {
 public:
  // Starts Xvfb on `number`, or on a free display number that Xvfb picks itself, with one
  // screen of `size` (width x height x depth), and returns once it accepts clients. Null with
  // `error` set when it cannot.
  static std::unique_ptr<XvfbServer> start(std::string& error,
                                           std::optional<int> number = std::nullopt,
                                           const std::string& size = "320x240x24");

  // The server goes away as a crashed or closed X server would: its clients see EOF. Its
  // display number stays this process's until a server starts on it again.
  void stop();
  // SIGSTOP freezes the server with its clients connected; SIGCONT lets it go on.
  void signal(int number) const { process_.signal(number); }
  int number() const { return number_; }
  std::string display() const { return ":" + std::to_string(number_); }

 private:
  XvfbServer(ChildProcess process, int number) : process_(std::move(process)), number_(number) {}
  ChildProcess process_;
  int number_;
};

}  // namespace trovik::testing
