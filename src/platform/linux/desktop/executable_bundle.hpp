#pragma once

#include <filesystem>

#include "platform/system.hpp"

namespace trovik {

// This program's own file, resolved from /proc/self/exe; empty when the kernel does not tell.
std::filesystem::path runningProgram();

// The application's desktop entry that an install puts next to `program`, found from the
// program's folder as the install lays them out, so that a staged or moved install finds its
// own and a build tree finds none. Empty for an empty `program`.
std::filesystem::path installedDesktopEntry(const std::filesystem::path& program);

// The running program's own file, and the folder it is installed into.
class ExecutableBundle final : public Bundle {
 public:
  std::string bundlePath() override;
  // With a final slash: the program's own folder when it is an installed copy (its desktop
  // entry is in place), wherever that install went; else the bindir it was built for.
  std::string installedPrefix() override;
};

}  // namespace trovik
