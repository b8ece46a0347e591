#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace trovik::test {

// CI must run every test: there a missing environment is a failure, not a skip.
inline bool ciRun() {
  const char* ci = std::getenv("CI");
  return ci && std::string_view(ci) == "true";
}

}  // namespace trovik::test

// Skips the test with `reason` when `ok` is false, except under CI=true, where it fails.
#define TROVIK_REQUIRE_ENVIRONMENT(ok, reason)         \
  do {                                                 \
    if (!(ok)) {                                       \
      if (::trovik::test::ciRun()) FAIL() << (reason); \
      GTEST_SKIP() << (reason);                        \
    }                                                  \
  } while (0)
