#include "platform/linux/desktop/executable_bundle.hpp"

#include <system_error>

namespace trovik {

std::filesystem::path runningProgram() {
  std::error_code error;
  auto path = std::filesystem::canonical("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

std::filesystem::path installedDesktopEntry(const std::filesystem::path& program) {
  if (program.empty()) return {};
  return (program.parent_path() / TROVIK_APPLICATIONS_FROM_BINDIR / "trovik-helper.desktop")
      .lexically_normal();
}

std::string ExecutableBundle::bundlePath() {
  return runningProgram().string();
}

std::string ExecutableBundle::installedPrefix() {
  // A package or a staged install may put the program elsewhere than this build's bindir.
  const auto program = runningProgram();
  std::error_code error;
  if (std::filesystem::is_regular_file(installedDesktopEntry(program), error)) {
    return program.parent_path().string() + "/";
  }
  return std::string(TROVIK_INSTALL_BINDIR) + "/";
}

}  // namespace trovik
