#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace trovik {

// The file:// link of the keyboard-access help: the page installed with `program`, else the
// README of the source tree it was built from; empty when neither is there.
std::string keyboardAccessHelpLink(const std::filesystem::path& program = "/proc/self/exe");

// Hands `url` to xdg-open, started without a shell and left to run on its own; `helpAlias`,
// the link that stands for the keyboard-access settings, opens the help instead. False, with
// one line on standard error, when there is no desktop session or no xdg-open (written to
// `notes` instead when given). Thread-safe.
bool openWithDesktop(const std::string& url, const std::string& helpAlias,
                     int notes = STDERR_FILENO);

}  // namespace trovik
