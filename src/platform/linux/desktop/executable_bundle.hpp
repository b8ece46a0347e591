#pragma once

#include "platform/system.hpp"

namespace trovik {

// The running program's own file, and the folder it is installed into.
class ExecutableBundle final : public Bundle {
 public:
  // The resolved path of /proc/self/exe; empty when the kernel does not tell.
  std::string bundlePath() override;
  // The install bindir this build was configured with, with a final slash.
  std::string installedPrefix() override;
};

}  // namespace trovik
