#pragma once

#include <string>

namespace trovik::bench {

// Why benchmarks that bind the agent's ports cannot run (empty when they can): main() moves
// the process into a network namespace of its own before any thread starts, which needs root.
const std::string& isolationProblem();

}  // namespace trovik::bench
