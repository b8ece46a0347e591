#include "avahi_namespace.hpp"

#include <net/if.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

#include "support/process.hpp"

namespace trovik::dnssd_test {
namespace {

// Runs `argv` to its end: its exit status and standard output.
std::pair<std::optional<int>, std::vector<std::string>> run(std::vector<std::string> argv) {
  test::Process process({std::move(argv), {}, {}, true});
  const auto status = process.waitForExit(std::chrono::seconds(20));
  return {status, process.lines()};
}

// avahi-browse escapes "." "\" and ";" in names, and other bytes as "\DDD" in decimal.
std::string unescape(const std::string& label) {
  std::string out;
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (label[i] != '\\' || i + 1 >= label.size()) {
      out += label[i];
    } else if (i + 3 < label.size() && std::isdigit(static_cast<unsigned char>(label[i + 1]))) {
      out += static_cast<char>(std::stoi(label.substr(i + 1, 3)));
      i += 3;
    } else {
      out += label[++i];
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> namespaceUnavailable() {
  const char* inside = std::getenv("TROVIK_AVAHI_NETNS");
  if (!inside || std::string(inside) != "1" || !std::getenv("TROVIK_AVAHI_CONTROL")) {
    return "not inside scripts/with-avahi (run through ctest or scripts/with-avahi)";
  }
  int interfaces = 0;
  if (auto* all = if_nameindex()) {
    for (auto* i = all; i->if_index != 0; ++i) ++interfaces;
    if_freenameindex(all);
  }
  if (interfaces != 1) return "the namespace has interfaces besides lo";
  if (run({"sh", "-c", "command -v avahi-browse avahi-publish"}).first != 0) {
    return "missing avahi-browse or avahi-publish (run scripts/install-deps)";
  }
  return std::nullopt;
}

bool avahiDaemon(const std::string& command) {
  const char* control = std::getenv("TROVIK_AVAHI_CONTROL");
  return control && run({control, command}).first == 0;
}

std::vector<Found> browse() {
  std::vector<Found> services;
  for (const auto& line : run({"avahi-browse", "-rpt", "_trovik._udp"}).second) {
    std::vector<std::string> f;  // a bare ';' always separates: the names escape theirs
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, ';');) f.push_back(field);
    if (f.size() < 9 || f[0] != "=") continue;
    services.push_back({unescape(f[3]), f[7], static_cast<std::uint16_t>(std::stoul(f[8])),
                        f.size() > 9 ? f[9] : ""});
  }
  return services;
}

std::vector<Found> named(const std::vector<Found>& services, const std::string& name) {
  std::vector<Found> matching;
  for (const auto& s : services) {
    if (s.name == name) matching.push_back(s);
  }
  return matching;
}

}  // namespace trovik::dnssd_test
