#include <benchmark/benchmark.h>

#include "isolation.hpp"
#include "support/network_namespace.hpp"

namespace trovik::bench {
namespace {

std::string& problem() {
  static std::string why = "main() did not enter a network namespace";
  return why;
}

}  // namespace

const std::string& isolationProblem() {
  return problem();
}

}  // namespace trovik::bench

int main(int argc, char** argv) {
  // First of all: threads started before this would stay in the machine's own network, and
  // the agent's port 9876 there may belong to a running agent.
  trovik::bench::problem() = trovik::test::enterNetworkNamespace();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
