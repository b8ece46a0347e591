#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/agent_harness.hpp"

int main(int argc, char** argv) {
  // Under scripts/with-avahi the namespace, with its daemon, is there already.
  if (!std::getenv("TROVIK_AVAHI_NETNS")) trovik::e2e::enterIsolation();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
