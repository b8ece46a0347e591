#pragma once

#include <unistd.h>

#include <chrono>
#include <string_view>

namespace trovik {

// A backend's note to the user on standard error: "trovik-helper: <service>: <message>",
// one line, queued to a writer of its own so that a stalled standard error never blocks
// the caller. Another `fd` (tests) is written at once.
void diagnose(std::string_view service, std::string_view message, int fd = STDERR_FILENO);
// Waits until the notes queued so far are written, or until `deadline`.
bool flushDiagnostics(std::chrono::steady_clock::time_point deadline);

}  // namespace trovik
