#pragma once

#include "platform/text.hpp"

namespace trovik {

// Unicode text operations on ICU: its character database and grapheme rules, root locale.
class IcuText final : public Text {
 public:
  // Loads ICU's break rules here, on the constructing thread: ICU initialises them lazily
  // behind atomics that sanitizers cannot see, so first use from several threads at once
  // would look like a race.
  IcuText();

  std::optional<std::string> decodeUtf8(std::string_view bytes) const override;
  std::string trimWhitespaceAndNewlines(std::string_view text) const override;
  std::string lowercased(std::string_view text) const override;
  std::string firstCharacter(std::string_view text) const override;
};

}  // namespace trovik
