#pragma once

#include <string>
#include <string_view>

namespace trovik {

// Makes a text from outside safe to print inside one log line: C0 controls, DEL, C1
// controls, U+2028/U+2029, the bidirectional controls (U+202A-U+202E, U+2066-U+2069) and
// U+FEFF become \n, \r, \t or \u{hex}; everything else, the backslash included, is kept.
std::string escapeForLog(std::string_view text);

}  // namespace trovik
