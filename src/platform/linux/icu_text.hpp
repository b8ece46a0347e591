#pragma once

#include "platform/text.hpp"

namespace trovik {

// Unicode text operations on ICU: its character database and grapheme rules, root locale.
class IcuText final : public Text {
 public:
  std::optional<std::string> decodeUtf8(std::string_view bytes) const override;
  std::string trimWhitespaceAndNewlines(std::string_view text) const override;
  std::string lowercased(std::string_view text) const override;
  std::string firstCharacter(std::string_view text) const override;
};

}  // namespace trovik
