#pragma once

#include <string>
#include <string_view>

namespace trovik {

// Makes a text from outside safe to print inside one log line: C0 controls, DEL, C1
// controls and U+2028/U+2029 become \n, \r, \t or \u{hex}; everything else is kept as is.
std::string escapeForLog(std::string_view text);

}  // namespace trovik
