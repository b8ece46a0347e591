#pragma once

// A private D-Bus message bus for the fuzzer process, and the waiting that talking over it
// needs. The daemon starts once, at the first input, and dies with the process however it
// ends: no bus of the user's is ever touched. Its socket is abstract, so a fuzzer that
// crashes leaves no file behind.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "check.hpp"

namespace trovik::fuzz {

class PrivateBus {
 public:
  static const std::string& address() {
    static const PrivateBus bus;
    return bus.address_;
  }

 private:
  PrivateBus() {
    char folder[] = "/tmp/trovik-fuzz-bus-XXXXXX";
    if (!::mkdtemp(folder)) fail("private bus", "no temporary folder");
    folder_ = folder;
    const std::string config = folder_ / "bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:abstract="
                          << folder_.string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) fail("private bus", "no pipe");
    const std::string option = "--config-file=" + config;
    if (::fork() == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      ::execlp("dbus-daemon", "dbus-daemon", option.c_str(), "--nofork", "--print-address",
               nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    for (char c; ::read(out[0], &c, 1) == 1 && c != '\n';) address_ += c;
    ::close(out[0]);
    std::filesystem::remove_all(folder_);  // the daemon has read its configuration
    require(!address_.empty(), "private bus", "dbus-daemon did not start");
  }

  std::filesystem::path folder_;
  std::string address_;
};

// Runs the loop until `done`; a peer that has not answered by then never will.
inline void until(asio::io_context& loop, const std::function<bool()>& done,
                  std::string_view waitingFor) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    require(std::chrono::steady_clock::now() < deadline, "no answer on the bus", waitingFor);
    loop.restart();
    loop.run_one_for(std::chrono::milliseconds(50));
  }
  loop.restart();
  loop.poll();
}

}  // namespace trovik::fuzz
