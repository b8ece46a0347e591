#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trovik {

// Unicode text operations on UTF-8 strings. Thread-safe and deterministic.
class Text {
 public:
  virtual ~Text() = default;

  // The bytes as text when they are well-formed UTF-8 (no overlong forms, no surrogates,
  // nothing above U+10FFFF); nothing otherwise. Empty bytes give an empty text.
  virtual std::optional<std::string> decodeUtf8(std::string_view bytes) const = 0;

  // Removes white space and line breaks at both ends: general category Z, U+0009 to
  // U+000D and U+0085.
  virtual std::string trimWhitespaceAndNewlines(std::string_view text) const = 0;

  // Unicode default lower-casing with the full mapping, independent of locale.
  virtual std::string lowercased(std::string_view text) const = 0;

  // The first user-perceived character (extended grapheme cluster); empty for empty text.
  virtual std::string firstCharacter(std::string_view text) const = 0;
};

}  // namespace trovik
