// Whether the firewall lets in the command port and mDNS: firewalld asked over D-Bus, else ufw
// read from its files, else the nftables ruleset as `nft` lists it. A plain reading of the
// usual set-ups, not a simulation of every rule.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/linux/check/bus_connection.hpp"
#include "platform/linux/check/check.hpp"

namespace trovik::check {
namespace {

namespace fs = std::filesystem;

const std::string kService = "firewall";
const std::string kPort = std::to_string(kCommandPort);
constexpr unsigned kMdnsPort = 5353;
constexpr const char* kFirewalld = "org.fedoraproject.FirewallD1";
constexpr const char* kFirewalldPath = "/org/fedoraproject/FirewallD1";

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What is missing of the two, as "UDP 9876 and mDNS (UDP 5353)"; empty when both are let in.
std::string notLetIn(bool port, bool mdns) {
  std::string what = port ? "" : "UDP " + kPort;
  if (!mdns) what += (what.empty() ? "" : " and ") + std::string("mDNS (UDP 5353)");
  return what;
}

bool firewalldQuery(sd_bus* bus, const char* method, const char* types, const std::string& zone,
                    const char* a, const char* b = nullptr) {
  sd_bus_message* reply = nullptr;
  int yes = 0;
  const std::string interface = std::string(kFirewalld) + ".zone";
  const int r = b ? sd_bus_call_method(bus, kFirewalld, kFirewalldPath, interface.c_str(), method,
                                       nullptr, &reply, types, zone.c_str(), a, b)
                  : sd_bus_call_method(bus, kFirewalld, kFirewalldPath, interface.c_str(), method,
                                       nullptr, &reply, types, zone.c_str(), a);
  if (r >= 0) sd_bus_message_read(reply, "b", &yes);
  sd_bus_message_unref(reply);
  return yes;
}

std::optional<Finding> firewalld() {
  const auto bus = BusConnection::system();
  if (!bus.serves(kFirewalld)) return std::nullopt;
  sd_bus_message* reply = nullptr;
  const char* text = nullptr;
  std::string zone;
  if (sd_bus_call_method(bus.get(), kFirewalld, kFirewalldPath, kFirewalld, "getDefaultZone",
                         nullptr, &reply, "") >= 0 &&
      sd_bus_message_read(reply, "s", &text) >= 0) {
    zone = text;
  }
  sd_bus_message_unref(reply);
  const bool ours = firewalldQuery(bus.get(), "queryService", "ss", zone, "trovik-helper");
  const bool port = ours || zone == "trusted" ||
                    firewalldQuery(bus.get(), "queryPort", "sss", zone, kPort.c_str(), "udp");
  const bool mdns = ours || zone == "trusted" ||
                    firewalldQuery(bus.get(), "queryService", "ss", zone, "mdns") ||
                    firewalldQuery(bus.get(), "queryPort", "sss", zone, "5353", "udp");
  const std::string where = "firewalld's zone " + (zone.empty() ? "(unknown)" : zone);
  if (port && mdns) return ok(kService, where + " lets in UDP " + kPort + " and mDNS");
  const bool profile = fs::exists("/usr/lib/firewalld/services/trovik-helper.xml") ||
                       fs::exists("/etc/firewalld/services/trovik-helper.xml");
  const std::string open =
      profile ? "--add-service=trovik-helper" : "--add-port=" + kPort + "/udp --add-service=mdns";
  return warn(kService, where + " does not let in " + notLetIn(port, mdns),
              "run \"sudo firewall-cmd --permanent " + open + " && sudo firewall-cmd --reload\"",
              true);
}

// Whether a ufw rule tuple ("### tuple ### allow udp 9876 0.0.0.0/0 any 0.0.0.0/0 in", with the
// application's names after the addresses when it names one; "in_eth0" for one interface)
// lets in UDP `port`.
bool letsIn(const std::string& tuple, unsigned port) {
  std::istringstream in(tuple);
  std::vector<std::string> t{std::istream_iterator<std::string>(in), {}};
  const bool allows = t.size() >= 10 && (t[3].starts_with("allow") || t[3].starts_with("limit"));
  if (!allows || !t.back().starts_with("in")) return false;
  if (t.size() >= 11 && t[9] == "trovik-helper") return true;
  if (t[4] != "udp" && t[4] != "any") return false;
  if (t[5] == "any") return true;
  std::istringstream ports(t[5]);
  for (std::string range; std::getline(ports, range, ',');) {
    unsigned first = 0, last = 0;
    char colon = 0;
    std::istringstream bounds(range);  // "9876", or a range "9000:9999"
    if (!(bounds >> first)) continue;
    if (!(bounds >> colon >> last) || colon != ':') last = first;
    if (first <= port && port <= last) return true;
  }
  return false;
}

std::optional<Finding> ufw() {
  if (("\n" + readFile("/etc/ufw/ufw.conf")).find("\nENABLED=yes") == std::string::npos)
    return std::nullopt;
  if (readFile("/etc/default/ufw").find("DEFAULT_INPUT_POLICY=\"ACCEPT\"") != std::string::npos)
    return ok(kService, "ufw lets everything in");
  // ufw keeps its rules for root's eyes only.
  if (::access("/etc/ufw/user.rules", R_OK) != 0) {
    return warn(kService, "ufw is on, and its rules are not readable as this user",
                "run \"sudo trovik-helper --check\" to see whether it lets tablets in");
  }
  bool port = false, mdns = false;
  for (const char* rules : {"/etc/ufw/user.rules", "/etc/ufw/user6.rules"}) {
    std::istringstream in(readFile(rules));
    for (std::string line; std::getline(in, line);) {
      if (!line.starts_with("### tuple ###")) continue;
      port = port || letsIn(line, kCommandPort);
      mdns = mdns || letsIn(line, kMdnsPort);
    }
  }
  // ufw's own rules let mDNS in unless the administrator took that out.
  mdns =
      mdns || readFile("/etc/ufw/before.rules").find("--dport 5353 -j ACCEPT") != std::string::npos;
  if (port && mdns) return ok(kService, "ufw lets in UDP " + kPort + " and mDNS");
  const bool profile = fs::exists("/etc/ufw/applications.d/trovik-helper");
  std::string command = profile ? "sudo ufw allow trovik-helper" : "";
  if (!profile && !port) command = "sudo ufw allow " + kPort + "/udp";
  if (!profile && !mdns) command += (port ? "" : " && ") + std::string("sudo ufw allow 5353/udp");
  return warn(kService, "ufw does not let in " + notLetIn(port, mdns), "run \"" + command + "\"",
              true);
}

// An input chain whose policy drops: what it lets in, seen in rules that name the port.
std::optional<Finding> nftables() {
  FILE* nft = popen("nft list ruleset 2>/dev/null", "r");
  if (!nft) return std::nullopt;
  std::string ruleset;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, nft)) > 0;)
    ruleset.append(buffer, n);
  const int status = pclose(nft);
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return std::nullopt;  // no nft
  if (WEXITSTATUS(status) != 0) {
    return warn(kService, "cannot read the nftables ruleset as this user",
                "run \"sudo trovik-helper --check\" to see whether it lets tablets in");
  }
  std::istringstream in(ruleset);
  std::string table, chain, body;
  bool drops = false;
  for (std::string line; std::getline(in, line);) {
    const auto start = line.find_first_not_of(" \t");
    const std::string text = start == std::string::npos ? "" : line.substr(start);
    if (text.starts_with("table ")) table = text.substr(6, text.find(" {") - 6);
    if (text.starts_with("chain ")) chain = text.substr(6, text.find(" {") - 6), body.clear();
    if (chain.empty()) continue;
    body += text + "\n";
    drops = drops || (text.find("hook input") != std::string::npos &&
                      text.find("policy drop") != std::string::npos);
    if (text != "}") continue;
    const bool port = body.find(kPort) != std::string::npos;
    const bool mdns =
        body.find("5353") != std::string::npos || body.find("mdns") != std::string::npos;
    if (drops && !(port && mdns)) {
      return warn(
          kService,
          "the nftables chain " + table + " " + chain + " does not let in " + notLetIn(port, mdns),
          "run \"sudo nft insert rule " + table + " " + chain + " udp dport { 5353, " + kPort +
              " } accept\" and add it to /etc/nftables.conf",
          true);
    }
    chain.clear(), drops = false;
  }
  return ok(kService, "the nftables ruleset lets in UDP " + kPort + " and mDNS");
}

}  // namespace

Finding firewall() {
  if (auto finding = firewalld()) return *finding;
  if (auto finding = ufw()) return *finding;
  if (auto finding = nftables()) return *finding;
  return ok(kService, "none found (firewalld, ufw, nftables)");
}

}  // namespace trovik::check
