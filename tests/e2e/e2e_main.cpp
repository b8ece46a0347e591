#include "e2e/agent_harness.hpp"
#include "support/network_namespace.hpp"

int main(int argc, char** argv) {
  // First of all: threads started before this would stay in the machine's own network. Under
  // scripts/with-avahi the namespace, with its daemon, is there already.
  if (!std::getenv("TROVIK_AVAHI_NETNS")) {
    trovik::e2e::isolationProblem = trovik::test::enterNetworkNamespace();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
