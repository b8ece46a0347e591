#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_environment.hpp"

namespace trovik::test {

// desktop-file-validate's verdict on `file`, whose path must hold no single quote. Without
// the tool nothing is checked, except under CI=true, where that is a failure.
inline void expectValidDesktopEntry(const std::filesystem::path& file) {
  if (std::system("command -v desktop-file-validate >/dev/null") != 0) {
    if (ciRun()) ADD_FAILURE() << "desktop-file-validate is missing";
    return;
  }
  const std::string command = "desktop-file-validate '" + file.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << file;
}

}  // namespace trovik::test
