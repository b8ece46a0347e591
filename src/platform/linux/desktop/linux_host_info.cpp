#include "platform/linux/desktop/linux_host_info.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "platform/linux/desktop/machine_info.hpp"
#include "platform/linux/icu_text.hpp"

namespace trovik {
namespace {

constexpr std::chrono::milliseconds kBusTimeout{1000};

std::optional<std::string> usable(std::optional<std::string> name) {
  if (!name || name->empty() || name->find('\0') != std::string::npos) return std::nullopt;
  if (!IcuText().decodeUtf8(*name)) return std::nullopt;
  return name;
}

std::optional<std::string> machineInfoPrettyHostname(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  return environmentFileValue(content.str(), "PRETTY_HOSTNAME");
}

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

}  // namespace

LinuxHostInfo::Sources LinuxHostInfo::systemSources() {
  return Sources{[] { return hostnamedPrettyHostname(systemBusAddress(), kBusTimeout); },
                 "/etc/machine-info", systemHostName};
}

LinuxHostInfo::LinuxHostInfo() : LinuxHostInfo(systemSources()) {}

LinuxHostInfo::LinuxHostInfo(Sources sources) : sources_(std::move(sources)) {}

std::optional<std::string> LinuxHostInfo::localizedName() {
  if (sources_.prettyHostname) {
    if (auto name = usable(sources_.prettyHostname())) return name;
  }
  if (!sources_.machineInfo.empty()) {
    if (auto name = usable(machineInfoPrettyHostname(sources_.machineInfo))) return name;
  }
  if (sources_.hostName) return usable(sources_.hostName());
  return std::nullopt;
}

std::optional<std::string> hostnamedPrettyHostname(const std::string& busAddress,
                                                   std::chrono::milliseconds timeout) {
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return std::nullopt;
  std::unique_ptr<sd_bus, BusUnref> bus(raw);
  // Set before start: the connection's own Hello call is bounded by the same timeout.
  const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
  if (sd_bus_set_address(bus.get(), busAddress.c_str()) < 0 ||
      sd_bus_set_bus_client(bus.get(), 1) < 0 ||
      sd_bus_set_method_call_timeout(bus.get(), static_cast<uint64_t>(usec)) < 0 ||
      sd_bus_start(bus.get()) < 0) {
    return std::nullopt;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char* value = nullptr;
  const int r = sd_bus_get_property_string(
      bus.get(), "org.freedesktop.hostname1", "/org/freedesktop/hostname1",
      "org.freedesktop.hostname1", "PrettyHostname", &error, &value);
  sd_bus_error_free(&error);
  if (r < 0 || !value) return std::nullopt;
  std::string name(value);
  std::free(value);
  if (name.empty()) return std::nullopt;
  return name;
}

std::string systemBusAddress() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return address && *address ? address : "unix:path=/run/dbus/system_bus_socket";
}

std::optional<std::string> systemHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::nullopt;
  return std::string(name);
}

}  // namespace trovik
