#include "support/xvfb_server.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <vector>

namespace trovik::testing {

std::unique_ptr<XvfbServer> XvfbServer::start(std::string& error, std::optional<int> number,
                                              const std::vector<std::string>& arguments) {
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
  // -displayfd makes Xvfb write the display number once it accepts clients; that is the
  // only reliable sign that it is ready.
  std::vector<std::string> argv = {"Xvfb", ":" + std::to_string(*number)};
  // Only the abstract socket, which is private to the network namespace: a test that
  // restarts its server never reaches another test's server that took the number meanwhile.
  for (const char* arg :
       {"-displayfd", "1", "-nolisten", "tcp", "-nolisten", "unix", "-screen", "0", "320x240x24"}) {
    argv.emplace_back(arg);
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::unique_ptr<test::Process> process;
  try {
    process = std::make_unique<test::Process>(test::ProcessOptions{argv, {}, {}, true});
  } catch (const std::runtime_error& failure) {
    error = failure.what();
    return nullptr;
  }
  const auto line = process->nextLine(std::chrono::seconds(20));
  if (!line || line->empty()) {
    error = "Xvfb did not start: " + process->errorText();
    return nullptr;
  }
  return std::unique_ptr<XvfbServer>(new XvfbServer(std::move(process), std::stoi(*line)));
}

}  // namespace trovik::testing
