#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace trovik::testing {

// CI must run every test: there a missing environment is a failure, not a skip.
inline bool ciRun() {
  const char* ci = std::getenv("CI");
  return ci && std::string_view(ci) == "true";
}

}  // namespace trovik::testing

// Skips the test with `reason` when `ok` is false, except under CI=true, where it fails.
#define TROVIK_REQUIRE_ENVIRONMENT(ok, reason)            \
  do {                                                    \
    if (!(ok)) {                                          \
      if (::trovik::testing::ciRun()) FAIL() << (reason); \
      GTEST_SKIP() << (reason);                           \
    }                                                     \
  } while (0)
