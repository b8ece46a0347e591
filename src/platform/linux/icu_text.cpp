#include "platform/linux/icu_text.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace trovik {
namespace {

bool isWhitespaceOrNewline(UChar32 c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const auto type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool isAscii(char c) {
  return static_cast<unsigned char>(c) < 0x80;
}

const uint8_t* bytesOf(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

std::unique_ptr<icu::BreakIterator> makeCharacterBreaks() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> made(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  return U_SUCCESS(status) ? std::move(made) : nullptr;
}

// Break iterators are costly to make and not thread-safe: one per thread, made once.
icu::BreakIterator* characterBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> breaks = makeCharacterBreaks();
  return breaks.get();
}

}  // namespace

IcuText::IcuText() {
  static const bool loaded = [] {
    makeCharacterBreaks();
    icu::UnicodeString("I").toLower(icu::Locale::getRoot());
    return true;
  }();
  (void)loaded;
}

std::optional<std::string> IcuText::decodeUtf8(std::string_view bytes) const {
  const auto* s = bytesOf(bytes);
  const auto length = static_cast<int32_t>(bytes.size());
  if (static_cast<std::size_t>(length) != bytes.size()) return std::nullopt;
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);  // negative for overlong forms, surrogates and > U+10FFFF
    if (c < 0) return std::nullopt;
  }
  return std::string(bytes);
}

std::string IcuText::trimWhitespaceAndNewlines(std::string_view text) const {
  const auto* s = bytesOf(text);
  const auto length = static_cast<int32_t>(text.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isWhitespaceOrNewline(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (c < 0 || !isWhitespaceOrNewline(c)) break;
    end = previous;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string IcuText::lowercased(std::string_view text) const {
  // Commands are nearly always ASCII, whose lower case needs no tables.
  if (std::all_of(text.begin(), text.end(), isAscii)) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return out;
  }
  auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

std::string IcuText::firstCharacter(std::string_view text) const {
  if (text.empty()) return {};
  // An ASCII character followed by another (or by nothing) stands alone, unless the two are
  // CR LF: what could join it, such as a combining mark, is never ASCII.
  if (isAscii(text[0]) && (text.size() == 1 || (isAscii(text[1]) && text.substr(0, 2) != "\r\n"))) {
    return std::string(text.substr(0, 1));
  }
  auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  icu::BreakIterator* breaks = characterBreaks();
  int32_t end = unicode.length();
  if (breaks) {
    breaks->setText(unicode);
    const int32_t boundary = breaks->following(0);
    if (boundary != icu::BreakIterator::DONE) end = boundary;
  } else {
    end = unicode.moveIndex32(0, 1);  // no break rules: fall back to one code point
  }
  std::string out;
  unicode.tempSubStringBetween(0, end).toUTF8String(out);
  return out;
}

}  // namespace trovik
