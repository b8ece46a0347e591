#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace trovik::testing {

// A private Xvfb X server for one test, stopped when destroyed.
class XvfbServer {
 public:
  // Starts Xvfb on `number`, or on a free display number, with further `arguments`, and
  // returns once it accepts clients. Null with `error` set when it cannot.
  static std::unique_ptr<XvfbServer> start(std::string& error,
                                           std::optional<int> number = std::nullopt,
                                           const std::vector<std::string>& arguments = {});

  // The server goes away as a crashed or closed X server would: its clients see EOF.
  void stop() { process_.reset(); }
  // SIGSTOP makes a server that accepts connections but answers nothing until SIGCONT.
  void signal(int number) const {
    if (process_) process_->signal(number);
  }
  int number() const { return number_; }
  std::string display() const { return ":" + std::to_string(number_); }

 private:
  XvfbServer(std::unique_ptr<test::Process> process, int number)
      : process_(std::move(process)), number_(number) {}
  std::unique_ptr<test::Process> process_;
  int number_;
};

}  // namespace trovik::testing
