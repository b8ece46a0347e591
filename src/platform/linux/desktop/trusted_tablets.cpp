#include "platform/linux/desktop/trusted_tablets.hpp"

#include <sstream>

#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/desktop/small_file.hpp"
#include "platform/linux/diagnostics.hpp"
#include "platform/linux/net/host_address.hpp"

namespace trovik {
namespace {

bool isHardwareAddress(const std::string& text) {
  if (text.size() < 2 || text.size() % 3 != 2) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool separator = i % 3 == 2;
    if (separator != (text[i] == ':')) return false;
    if (!separator && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

std::filesystem::path TrustedTabletFile::defaultFile() {
  return xdgConfigHome() / "trovik-helper" / "tablets";
}

std::vector<TrustedTablet> TrustedTabletFile::read(int notes) const {
  std::string problem;
  const auto text = readSmallFile(file_, kMaxFileSize, problem);
  if (!problem.empty()) diagnose("tablets", "ignoring " + file_.string() + ": " + problem, notes);
  std::vector<int> skipped;
  auto tablets = parse(text.value_or(""), skipped);
  for (const int number : skipped) {
    diagnose("tablets",
             file_.string() + ":" + std::to_string(number) +
                 ": not a tablet's address and hardware address; skipped",
             notes);
  }
  return tablets;
}

std::vector<TrustedTablet> TrustedTabletFile::parse(const std::string& text,
                                                    std::vector<int>& skipped) {
  std::vector<TrustedTablet> tablets;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    std::istringstream words(line);
    std::string address, hardware, more;
    words >> address >> hardware >> more;
    if (address.empty()) continue;
    const auto host = net::parseHost(address);
    if (!host || !more.empty() || (!hardware.empty() && !isHardwareAddress(hardware))) {
      skipped.push_back(number);
      continue;
    }
    tablets.push_back({host->description, hardware});
  }
  return tablets;
}

std::optional<std::string> TrustedTabletFile::write(
    const std::vector<TrustedTablet>& tablets) const {
  std::string text;
  for (const auto& tablet : tablets) {
    text += tablet.address;
    if (!tablet.hardware.empty()) text += " " + tablet.hardware;
    text += "\n";
  }
  return replaceFile(file_, text, 0600);
}

}  // namespace trovik
