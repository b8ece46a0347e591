#include "browse.hpp"

#include <cctype>
#include <sstream>

#include "namespace_env.hpp"

namespace trovik::dnssd_test {
namespace {

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  for (std::size_t i = 0; i < line.size(); ++i) {
    // Separators inside a name are escaped as "\059", so a bare ';' always separates.
    if (line[i] == ';') {
      fields.push_back(field);
      field.clear();
    } else {
      field += line[i];
    }
  }
  fields.push_back(field);
  return fields;
}

}  // namespace

std::string unescapeLabel(std::string_view label) {
  std::string out;
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (label[i] != '\\' || i + 1 >= label.size()) {
      out += label[i];
    } else if (i + 3 < label.size() && std::isdigit(static_cast<unsigned char>(label[i + 1])) &&
               std::isdigit(static_cast<unsigned char>(label[i + 2])) &&
               std::isdigit(static_cast<unsigned char>(label[i + 3]))) {
      out += static_cast<char>(std::stoi(std::string(label.substr(i + 1, 3))));
      i += 3;
    } else {
      out += label[++i];
    }
  }
  return out;
}

std::vector<ResolvedService> browse(const std::string& type) {
  const auto result = run({"avahi-browse", "-rpt", type}, std::chrono::seconds(15));
  std::vector<ResolvedService> services;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    const auto f = splitFields(line);
    if (f.size() < 10 || f[0] != "=") continue;
    ResolvedService s{f[1], f[2], unescapeLabel(f[3]), f[4], f[5], f[6], f[7], 0, f[9]};
    s.port = static_cast<std::uint16_t>(std::stoul(f[8]));
    for (std::size_t i = 10; i < f.size(); ++i) s.txt += ";" + f[i];
    services.push_back(std::move(s));
  }
  return services;
}

std::vector<ResolvedService> named(const std::vector<ResolvedService>& services,
                                   std::string_view name) {
  std::vector<ResolvedService> matching;
  for (const auto& s : services) {
    if (s.name == name) matching.push_back(s);
  }
  return matching;
}

std::string describe(const std::vector<ResolvedService>& services) {
  std::string text = "[";
  for (const auto& s : services) {
    text += (text.size() > 1 ? ", \"" : "\"") + s.name + "\" " + s.address + ":" +
            std::to_string(s.port) + " txt=" + s.txt;
  }
  return text + "]";
}

}  // namespace trovik::dnssd_test
