#pragma once

#include <sys/stat.h>

#include <fstream>

#include "support/process.hpp"
#include "support/test_environment.hpp"

namespace trovik::testing {

// A private D-Bus message bus for one test: no activatable services, so nothing on it
// answers unless the test puts it there.
class PrivateBus {
 public:
  static std::unique_ptr<PrivateBus> start(std::string& error) {
    std::unique_ptr<PrivateBus> bus(new PrivateBus);
    const std::string config = bus->folder_.path + "/bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
           "Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << bus->folder_.path
        << "/bus</listen><auth>EXTERNAL</auth>"
           "<policy context=\"default\"><allow user=\"*\"/><allow send_destination=\"*\"/>"
           "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy>"
           "</busconfig>\n";
    ::chmod(bus->folder_.path.c_str(), 0711);  // users other than the test's may connect
    try {
      bus->process_.emplace(test::ProcessOptions{
          {"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address"}, {}, {}, true});
    } catch (const std::runtime_error& failure) {
      error = failure.what();
      return nullptr;
    }
    bus->address_ = bus->process_->nextLine(std::chrono::seconds(10)).value_or("");
    if (bus->address_.empty()) error = "dbus-daemon did not start";
    return bus->address_.empty() ? nullptr : std::move(bus);
  }
  const std::string& address() const { return address_; }

 private:
  PrivateBus() = default;
  test::TempFolder folder_;
  std::optional<test::Process> process_;  // goes before its folder
  std::string address_;
};

}  // namespace trovik::testing
