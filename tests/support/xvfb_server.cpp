#include "support/xvfb_server.hpp"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iomanip>
#include <vector>

namespace trovik::testing {
namespace {

// The lock file through which X servers claim a display number: it names the server's pid in
// 10 columns, and another server starts on the number only once that process has ended.
std::string lockFile(int number) {
  return "/tmp/.X" + std::to_string(number) + "-lock";
}

}  // namespace

std::unique_ptr<XvfbServer> XvfbServer::start(std::string& error, std::optional<int> number,
                                              const std::string& size) {
  Pipe ready;
  if (ready.read < 0) {
    error = "no pipe for Xvfb";
    return nullptr;
  }
  pid_t holder = 0;
  if (number && std::ifstream(lockFile(*number)) >> holder && holder == getpid()) {
    ::unlink(lockFile(*number).c_str());
  }
  // -displayfd makes Xvfb write the display number once it accepts clients; that is the
  // only reliable sign that it is ready, and lets it pick a number nobody else uses.
  std::vector<std::string> argv = {"Xvfb"};
  if (number) argv.push_back(":" + std::to_string(*number));
  for (const char* arg : {"-displayfd", "", "-nolisten", "tcp", "-screen", "0"}) {
    argv.emplace_back(arg);
  }
  argv.push_back(size);
  argv[number ? 3 : 2] = std::to_string(ready.write);
  auto process = ChildProcess::spawn(argv, ready.write, error);
  if (!process) return nullptr;
  ready.closeWrite();
  const auto line = readLine(ready.read, std::chrono::seconds(20));
  if (!line || line->empty()) {
    error = "Xvfb did not start";
    return nullptr;
  }
  return std::unique_ptr<XvfbServer>(new XvfbServer(std::move(*process), std::stoi(*line)));
}

void XvfbServer::stop() {
  process_.stop();
  // Tests that run at the same time would otherwise take the number while it is free.
  std::ofstream(lockFile(number_)) << std::setw(10) << getpid() << '\n';
}

}  // namespace trovik::testing
