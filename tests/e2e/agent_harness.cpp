#include "e2e/agent_harness.hpp"

#include <stdlib.h>

#include <cstdlib>

#include <filesystem>
#include <stdexcept>

#include "support/network_namespace.hpp"

namespace trovik::e2e {
namespace {

std::string& problem() {
  static std::string why = "enterIsolation() was not called before the tests";
  return why;
}

test::ProcessOptions processOptions(AgentOptions options, const std::string& configHome) {
  test::ProcessOptions process{{options.program}};
  process.argv.insert(process.argv.end(), options.arguments.begin(), options.arguments.end());
  // Under ThreadSanitizer a process otherwise lingers a second at exit, past what the tests
  // allow for a stop.
  const char* tsan = std::getenv("TSAN_OPTIONS");
  process.environment = {{"XDG_CONFIG_HOME", configHome},
                         {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + configHome + "/no-bus"},
                         {"TSAN_OPTIONS", std::string(tsan ? tsan : "") + " atexit_sleep_ms=0"}};
  for (auto& entry : options.environment) {
    std::erase_if(process.environment, [&](const auto& e) { return e.first == entry.first; });
    process.environment.push_back(std::move(entry));
  }
  // Through the test's own desktop, the agent would be seen outside the test.
  process.unset = {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"};
  process.capture = true;
  process.readOutput = options.readOutput;
  return process;
}

}  // namespace

std::string enterIsolation() {
  return problem() = test::enterNetworkNamespace();
}

const std::string& isolationProblem() {
  return problem();
}

ConfigHome::ConfigHome() {
  char folder[] = "/tmp/trovik-e2e-XXXXXX";
  if (!::mkdtemp(folder)) throw std::runtime_error("no temporary folder");
  path = folder;
}

ConfigHome::~ConfigHome() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

AgentProcess::AgentProcess(AgentOptions options)
    : Process(processOptions(std::move(options), ConfigHome::path)) {}

}  // namespace trovik::e2e
