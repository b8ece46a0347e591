#pragma once

#include <memory>
#include <string>

#include "support/process.hpp"

namespace trovik::testing {

// A private D-Bus message bus for one test: no activatable services, so nothing on it
// answers unless the test puts it there.
class PrivateBus {
 public:
  static std::unique_ptr<PrivateBus> start(std::string& error);
  ~PrivateBus();
  const std::string& address() const { return address_; }

 private:
  PrivateBus(std::unique_ptr<test::Process> process, std::string dir, std::string address)
      : process_(std::move(process)), dir_(std::move(dir)), address_(std::move(address)) {}
  std::unique_ptr<test::Process> process_;
  std::string dir_;
  std::string address_;
};

}  // namespace trovik::testing
