#pragma once

#include <unistd.h>
#include <string_view>

namespace trovik {

// One "trovik-helper: keyboard: ..." line in a single write, so concurrent lines never tear.
// Standard output stays the agent's own log.
void keyboardDiagnostic(std::string_view text, int fd = STDERR_FILENO);

}  // namespace trovik
