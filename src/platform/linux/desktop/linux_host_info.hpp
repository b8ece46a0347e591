#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/system.hpp"

namespace trovik {

// The computer's user-visible name: systemd-hostnamed's PrettyHostname, else PRETTY_HOSTNAME
// in /etc/machine-info, else the host name. A source counts only when it gives well-formed,
// non-empty UTF-8. Thread-safe when its sources are.
class LinuxHostInfo final : public HostInfo {
 public:
  struct Sources {
    std::function<std::optional<std::string>()> prettyHostname;
    std::filesystem::path machineInfo;
    std::function<std::optional<std::string>()> hostName;
  };

  // The real system: hostnamed on the system bus, /etc/machine-info, gethostname.
  static Sources systemSources();

  LinuxHostInfo();
  explicit LinuxHostInfo(Sources sources);

  std::optional<std::string> localizedName() override;

 private:
  Sources sources_;
};

// PrettyHostname of org.freedesktop.hostname1 on the bus at `busAddress`; nothing when it is
// empty or the bus or service does not answer within `timeout` (connection included), so a
// hung bus cannot stall the caller.
std::optional<std::string> hostnamedPrettyHostname(const std::string& busAddress,
                                                   std::chrono::milliseconds timeout);

// $DBUS_SYSTEM_BUS_ADDRESS, or the well-known system bus socket.
std::string systemBusAddress();

// gethostname(2); nothing when it fails.
std::optional<std::string> systemHostName();

}  // namespace trovik
