#pragma once

#include <atomic>

#include "support/process.hpp"

namespace trovik::testing {

// A private Xvfb X server for one test, stopped when destroyed.
class XvfbServer {
 public:
  // Starts Xvfb on `number`, or on a free display number, with further `arguments`, and
  // returns once it accepts clients. Null with `error` set when it cannot.
  static std::unique_ptr<XvfbServer> start(std::string& error,
                                           std::optional<int> number = std::nullopt,
                                           const std::vector<std::string>& arguments = {}) {
    if (!number) {
      // Xvfb itself would take the lowest free number, which may be the one a test restarting
      // its server has just freed; numbers spread by process, and not used twice by one, make
      // that unlikely.
      static std::atomic<int> next = 100 + static_cast<int>(::getpid() % 4000) * 8;
      for (int i = 0; i < 64; ++i) {
        if (auto server = start(error, next++, arguments)) return server;
      }
      return nullptr;
    }
    // -displayfd makes Xvfb write the display number once it accepts clients, the only
    // reliable sign that it is ready. Only the abstract socket, which is private to the network
    // namespace: a test that restarts its server never reaches another test's that took the
    // number meanwhile.
    std::vector<std::string> argv = {"Xvfb", ":" + std::to_string(*number), "-displayfd", "1"};
    for (const char* more : {"-nolisten", "tcp", "-nolisten", "unix", "-screen", "0", "320x240x24"})
      argv.push_back(more);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::unique_ptr<XvfbServer> server(new XvfbServer);
    try {
      server->process_.emplace(test::ProcessOptions{argv, {}, {}, true});
    } catch (const std::runtime_error& failure) {
      error = failure.what();
      return nullptr;
    }
    const auto line = server->process_->nextLine(std::chrono::seconds(20));
    if (!line || line->empty()) {
      error = "Xvfb did not start: " + server->process_->errorText();
      return nullptr;
    }
    server->number_ = std::stoi(*line);
    return server;
  }

  // The server goes away as a crashed or closed X server would: its clients see EOF.
  void stop() { process_.reset(); }
  // SIGSTOP makes a server that accepts connections but answers nothing until SIGCONT.
  void signal(int number) const {
    if (process_) process_->signal(number);
  }
  int number() const { return number_; }
  std::string display() const { return ":" + std::to_string(number_); }

 private:
  XvfbServer() = default;
  std::optional<test::Process> process_;
  int number_ = 0;
};

}  // namespace trovik::testing
