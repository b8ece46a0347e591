#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace trovik {

// A DNS-SD service name is a single DNS label: at most 63 bytes of UTF-8.
inline constexpr std::size_t kMaxServiceNameBytes = 63;

// `name` cut to one label at the last user-perceived character boundary that fits, or at the
// last code point boundary when a single character alone is longer than a label. Nothing when
// the name is empty, contains NUL or is not well-formed UTF-8: the responder cannot carry it.
std::optional<std::string> fitServiceName(std::string_view name);

// The agent writes types and domains fully qualified ("_trovik._udp.", "local."); Avahi wants
// them without the root's dot.
inline constexpr std::string_view withoutTrailingDot(std::string_view name) {
  return name.ends_with('.') ? name.substr(0, name.size() - 1) : name;
}

}  // namespace trovik
