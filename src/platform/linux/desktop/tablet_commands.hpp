#pragma once

#include <optional>
#include <string_view>

namespace trovik {

// `trovik-helper --allow ADDRESS`, `--forget ADDRESS` (or `all`) and `--tablets`: edits or
// lists the trusted tablets in their file, which a running agent takes within a second.
// Reports on standard output, errors on standard error; the exit status: 0 done, 1 nothing
// to forget, 2 an address that is none.
int runTabletCommand(std::string_view option, std::optional<std::string_view> argument);

}  // namespace trovik
