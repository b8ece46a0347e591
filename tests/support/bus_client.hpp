#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace trovik::testing {

// A desktop's view of a test's D-Bus bus: it calls methods and reads replies and signals as
// text, values written as gdbus writes them ('text', 1, true, [..], (..), {key: value}, <..>).
// One thread only.
class BusClient {
 public:
  static std::unique_ptr<BusClient> connect(const std::string& address, std::string& error);
  ~BusClient();

  // The reply's arguments as "(first, second)", or "error <name>" when the call fails.
  std::string call(const std::string& service, const std::string& path,
                   const std::string& interface, const std::string& member,
                   const char* types = nullptr, ...);
  // A property's value, or "error <name>".
  std::string property(const std::string& service, const std::string& path,
                       const std::string& interface, const std::string& name);
  // The menu that the StatusNotifierItem `service` names, one line's properties per entry.
  std::vector<std::string> menu(const std::string& service);
  // The arguments of the next signal called `member` not taken yet, within `timeout`.
  std::optional<std::string> nextSignal(const std::string& member,
                                        std::chrono::milliseconds timeout);

 private:
  explicit BusClient(sd_bus* bus) : bus_(bus) {}
  static int onSignal(sd_bus_message* m, void* self, sd_bus_error*);

  sd_bus* bus_;
  sd_bus_slot* match_ = nullptr;
  std::deque<std::pair<std::string, std::string>> signals_;  // member, arguments
};

}  // namespace trovik::testing
