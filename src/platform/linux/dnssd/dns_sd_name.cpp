#include "platform/linux/dnssd/dns_sd_name.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <memory>

#include "platform/linux/icu_text.hpp"

namespace trovik {
namespace {

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The last grapheme cluster boundary at or below `limit`; 0 when there is none but the start.
std::size_t lastCharacterBoundary(std::string_view text, std::size_t limit) {
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  std::unique_ptr<UText, decltype(&utext_close)> closer(utext, &utext_close);
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !breaks) return 0;
  breaks->setText(utext, status);
  if (U_FAILURE(status)) return 0;
  // Walk forward: preceding() first snaps an offset inside a code point back to its start.
  std::size_t last = 0;
  for (int32_t b = breaks->next(); b != icu::BreakIterator::DONE; b = breaks->next()) {
    if (static_cast<std::size_t>(b) > limit) break;
    last = static_cast<std::size_t>(b);
  }
  return last;
}

}  // namespace

std::optional<std::string> fitServiceName(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
  if (!IcuText().decodeUtf8(name)) return std::nullopt;
  if (name.size() <= kMaxServiceNameBytes) return std::string(name);

  std::size_t cut = lastCharacterBoundary(name, kMaxServiceNameBytes);
  if (cut == 0) {
    cut = kMaxServiceNameBytes;
    while (cut > 0 && isContinuationByte(name[cut])) --cut;
  }
  return std::string(name.substr(0, cut));
}

}  // namespace trovik
