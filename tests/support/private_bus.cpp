#include "support/private_bus.hpp"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace trovik::testing {

std::unique_ptr<PrivateBus> PrivateBus::start(std::string& error) {
  char pattern[] = "/tmp/trovik-bus-XXXXXX";
  if (!mkdtemp(pattern)) {
    error = "no temporary directory";
    return nullptr;
  }
  const std::string dir = pattern;
  const std::string config = dir + "/bus.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type>"
                           "<listen>unix:path="
                        << dir
                        << "/bus</listen><auth>EXTERNAL</auth>"
                           "<policy context=\"default\"><allow send_destination=\"*\"/>"
                           "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy>"
                           "</busconfig>\n";
  std::unique_ptr<test::Process> process;
  try {
    process = std::make_unique<test::Process>(test::ProcessOptions{
        {"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address"}, {}, {}, true});
  } catch (const std::runtime_error& failure) {
    error = failure.what();
    std::filesystem::remove_all(dir);
    return nullptr;
  }
  const auto address = process->nextLine(std::chrono::seconds(10));
  if (!address || address->empty()) {
    error = "dbus-daemon did not start";
    std::filesystem::remove_all(dir);
    return nullptr;
  }
  return std::unique_ptr<PrivateBus>(new PrivateBus(std::move(process), dir, *address));
}

PrivateBus::~PrivateBus() {
  process_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace trovik::testing
