#include "platform/linux/desktop/executable_bundle.hpp"

#include <filesystem>
#include <system_error>

namespace trovik {

std::string ExecutableBundle::bundlePath() {
  std::error_code error;
  auto path = std::filesystem::canonical("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string ExecutableBundle::installedPrefix() {
  return std::string(TROVIK_INSTALL_BINDIR) + "/";
}

}  // namespace trovik
