#include <gtest/gtest.h>

#include "e2e/agent_harness.hpp"

int main(int argc, char** argv) {
  // First of all: threads started before this would stay in the machine's own network.
  trovik::e2e::enterIsolation();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
