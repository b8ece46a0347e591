#include "app/log_escape.hpp"

#include <cstdint>
#include <cstdio>

namespace trovik {
namespace {

// Length and code point of the well-formed UTF-8 sequence at `s`, or 0 when it is not one.
std::size_t decodeAt(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[i + k]); };
  const std::uint8_t lead = b(0);
  std::size_t n = lead < 0x80           ? 1
                  : (lead >> 5) == 0x6  ? 2
                  : (lead >> 4) == 0xE  ? 3
                  : (lead >> 3) == 0x1E ? 4
                                        : 0;
  if (n == 0 || i + n > s.size()) return 0;
  cp = n == 1 ? lead : lead & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  return n;
}

// Controls, line separators, and the characters that reorder or hide what a reader of the
// log sees: the bidirectional embeddings, overrides and isolates, and the byte-order mark.
bool needsEscape(char32_t cp) {
  return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
}

}  // namespace

std::string escapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = decodeAt(text, i, cp);
    if (n == 0) {  // not UTF-8: keep the byte, it cannot end the line
      out.push_back(text[i++]);
      continue;
    }
    if (!needsEscape(cp)) {
      out.append(text.substr(i, n));
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    }
    i += n;
  }
  return out;
}

}  // namespace trovik
