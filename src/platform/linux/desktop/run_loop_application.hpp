#pragma once

#include "platform/run_loop.hpp"
#include "platform/system.hpp"

namespace trovik {

// The application as a whole: there is no dock to leave, and terminating ends the main
// loop, after which the program shuts down and exits.
class RunLoopApplication final : public Application {
 public:
  explicit RunLoopApplication(RunLoop& runLoop) : runLoop_(runLoop) {}
  void setActivationPolicy(ActivationPolicy) override {}
  void terminate() override { runLoop_.stop(); }

 private:
  RunLoop& runLoop_;
};

}  // namespace trovik
