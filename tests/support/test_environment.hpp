#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace trovik::test {

// CI must run every test: there a missing environment is a failure, not a skip.
inline bool ciRun() {
  const char* ci = std::getenv("CI");
  return ci && std::string_view(ci) == "true";
}

// A fresh folder under /tmp, removed with all it holds.
struct TempFolder {
  TempFolder() {
    char pattern[] = "/tmp/trovik-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("no temporary folder");
    path = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string path;
};

// Empty inside the namespace that scripts/with-avahi makes, else why not: tests that publish
// must never run outside it, on the machine's own network.
inline std::string avahiNamespaceProblem() {
  if (std::getenv("TROVIK_AVAHI_NETNS") && std::getenv("TROVIK_AVAHI_CONTROL")) return "";
  const char* why = std::getenv("TROVIK_AVAHI_UNAVAILABLE");
  return std::string("needs scripts/with-avahi: ") + (why ? why : "not inside it");
}
// Steers that namespace's avahi-daemon: start, stop, kill, running; true when it did.
inline bool avahiDaemon(const std::string& command) {
  return std::system(("\"$TROVIK_AVAHI_CONTROL\" " + command).c_str()) == 0;
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
