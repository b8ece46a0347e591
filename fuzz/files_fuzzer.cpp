// The settings file and the trusted-tablets file, as whatever bytes a user, another program or
// a broken disk leaves in them. The same bytes go to both parsers; what either takes in must
// come back unchanged after it is written out and read again, since the agent rewrites both
// files whole.

#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "platform/linux/desktop/file_user_defaults.hpp"
#include "platform/linux/desktop/trusted_tablets.hpp"
#include "platform/linux/net/host_address.hpp"

namespace trovik::fuzz {
namespace {

void settings(const std::string& text) {
  const auto values = FileUserDefaults::parse(text);
  if (!values) return;
  std::string written;  // as the file is written
  for (const auto& [key, value] : *values) {
    require(!key.empty() && key.find_first_of(std::string("=\n\0", 3)) == std::string::npos,
            "settings key", key);
    require(value.find_first_of(std::string("\n\0", 2)) == std::string::npos, "settings value",
            value);
    written += key + "=" + value + "\n";
  }
  require(FileUserDefaults::parse(written) == values, "settings read back", written);
}

bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

void tablets(const std::string& text) {
  std::vector<int> skipped;
  const auto tablets = TrustedTabletFile::parse(text, skipped);
  for (const int number : skipped) require(number >= 1, "line number");
  std::string written;  // as the file is written
  for (const auto& [address, hardware] : tablets) {
    // The address is the one the agent shows for that host, and compares with.
    const auto host = net::parseHost(address);
    require(host && host->description == address, "tablet address", address);
    for (const char c : address + hardware) require(!isSpace(c) && c != '\0', "blank", address);
    written += address + (hardware.empty() ? "" : " " + hardware) + "\n";
  }
  std::vector<int> again;
  require(TrustedTabletFile::parse(written, again) == tablets && again.empty(), "tablets read back",
          written);
}

}  // namespace
}  // namespace trovik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  trovik::fuzz::settings(text);
  trovik::fuzz::tablets(text);
  return 0;
}
