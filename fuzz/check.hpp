#pragma once

// What the fuzz targets share: a broken invariant ends the run as a crash does, with the
// input saved by libFuzzer, and texts that must be safe to print are checked byte by byte.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace trovik::fuzz {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant broken: %.*s: %.*s\n", int(what.size()), what.data(),
               int(detail.size()), detail.data());
  std::abort();
}

inline void require(bool holds, std::string_view what, std::string_view detail = {}) {
  if (!holds) fail(what, detail);
}

// The code points of well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF), each handed to `visit`; false at the first byte that is not.
template <class Visit>
bool forEachCodePoint(std::string_view s, Visit visit) {
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<std::uint8_t>(s[i]);
    const std::size_t n = lead < 0x80   ? 1
                          : lead < 0xC2 ? 0
                          : lead < 0xE0 ? 2
                          : lead < 0xF0 ? 3
                          : lead < 0xF5 ? 4
                                        : 0;
    if (n == 0 || i + n > s.size()) return false;
    char32_t cp = n == 1 ? lead : lead & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<std::uint8_t>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    visit(cp);
    i += n;
  }
  return true;
}

inline bool isUtf8(std::string_view s) {
  return forEachCodePoint(s, [](char32_t) {});
}

// One line a reader sees as it was written: UTF-8 with no control character, line or
// paragraph separator, or character that reorders or hides text (bidirectional controls and
// the byte-order mark).
inline bool isPrintableLine(std::string_view s) {
  bool printable = true;
  const bool utf8 = forEachCodePoint(s, [&](char32_t cp) {
    printable = printable && cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F) && cp != 0x2028 &&
                cp != 0x2029 && !(cp >= 0x202A && cp <= 0x202E) &&
                !(cp >= 0x2066 && cp <= 0x2069) && cp != 0xFEFF;
  });
  return utf8 && printable;
}

}  // namespace trovik::fuzz
