#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trovik {

// The value of `key` in an environment-style file such as /etc/machine-info, read the way
// systemd reads it: KEY=VALUE lines, '#' and ';' comment lines, 'single' and "double" quotes,
// backslash escapes and line continuations. The last assignment wins; nothing when the key
// is not assigned.
std::optional<std::string> environmentFileValue(std::string_view content, std::string_view key);

}  // namespace trovik
