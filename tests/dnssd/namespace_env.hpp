#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_environment.hpp"

namespace trovik::dnssd_test {

// Why these tests cannot run here, or nothing when they run inside scripts/with-avahi's
// namespace (loopback only, private system bus). Outside it they must not run at all: the
// advertiser would publish on the host's real network.
std::optional<std::string> namespaceUnavailable();

// Skips with the reason, or fails when CI=true.
#define TROVIK_REQUIRE_AVAHI_NAMESPACE()                                 \
  do {                                                                   \
    const auto reason = ::trovik::dnssd_test::namespaceUnavailable();    \
    TROVIK_REQUIRE_ENVIRONMENT(!reason, reason.value_or(std::string())); \
  } while (0)

struct RunResult {
  int exitCode = -1;  // -1 when killed at the deadline or not started
  std::string output;
};

// Runs a program with its standard output captured (standard error passes through), killed
// when it outlives `timeout`.
RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// scripts/with-avahi's daemon control inside the namespace: "start", "stop", "kill",
// "running", "peer-start" (with a name and a port) and "peer-stop".
bool avahiDaemon(const std::string& command, const std::vector<std::string>& arguments = {});

// A program left running in the background (such as avahi-publish); killed on destruction.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  bool started() const { return pid_ > 0; }

 private:
  int pid_ = -1;
};

// Polls `done` every 50 ms until it holds or `timeout` passes; true when it held.
bool eventually(std::chrono::milliseconds timeout, const std::function<bool()>& done);

}  // namespace trovik::dnssd_test
