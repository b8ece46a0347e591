// The agent's pure functions, as tables of (input, expected): what bytes a command is, which
// key it names, which editor an application is, and how outside text enters the log.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/log_escape.hpp"
#include "editor/editor_id.hpp"
#include "keys/key_spec.hpp"
#include "platform/linux/icu_text.hpp"

namespace trovik {
namespace {

using keys::KeyPress;
const IcuText kText;

TEST(Grammar, CommandsNameTheKeysTheyShould) {
  const std::pair<const char*, std::optional<KeyPress>> cases[] = {
      {"SPACE", KeyPress{49, false}},
      {"NEXT_EDIT", KeyPress{124, false}},
      {"`", KeyPress{50, false}},
      {"a", KeyPress{0, false}},
      {"A", KeyPress{0, false}},        // upper case is lower-cased, never shifted
      {"shift+ab", KeyPress{0, true}},  // only the first character after the prefix
      {"shift+A", std::nullopt},        // not lower-cased in the shift form
      {"shift+;", std::nullopt},        // special keys are not consulted
      {"shift+", std::nullopt},
      {"Shift+a", KeyPress{1, false}},  // not the shift form: first letter s
      {"space", KeyPress{1, false}},    // names are case-sensitive
      {"[x", std::nullopt},
      {"\xC3\x89", std::nullopt},   // É lower-cases to é, which has no key
      {"e\xCC\x81", std::nullopt},  // e + combining acute is one character, not e
      {"shift+e\xCC\x81", std::nullopt},
      {"\xC4\xB0", std::nullopt},  // İ lower-cases to i + combining dot: not i
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(keys::keyPressForSpec(text, kText), expected) << text;
  }
}

TEST(Grammar, DatagramsBecomeTheirTrimmedTextOrNothing) {
  const std::pair<std::string_view, std::optional<std::string>> cases[] = {
      {"", ""},
      {std::string_view("a\0b", 3), std::string("a\0b", 3)},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF
      {"\t\v\f hi \x0B", "hi"},
      {"\xC2\x85x\xC2\xA0", "x"},          // NEL, no-break space
      {"\xE2\x80\xA8x\xE3\x80\x80", "x"},  // line separator, ideographic space
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // zero-width space is no space
      {"\x1Cx", "\x1Cx"},                  // nor an information separator
      {"\xE0\x80\xAF", std::nullopt},      // overlong
      {"\xF4\x90\x80\x80", std::nullopt},  // above U+10FFFF
      {"\xC3", std::nullopt},              // cut short
      {"abc\x80", std::nullopt},           // a stray continuation byte
  };
  for (const auto& [bytes, expected] : cases) {
    auto text = kText.decodeUtf8(bytes);
    if (text) text = kText.trimWhitespaceAndNewlines(*text);
    EXPECT_EQ(text, expected) << ::testing::PrintToString(std::string(bytes));
  }
}

TEST(Grammar, ApplicationsAreEditorsByTheStartOfTheirIdentifier) {
  const std::pair<const char*, editor::EditorID> cases[] = {
      {"COM.APPLE.FINALCUT", "com.apple.FinalCut"},
      {"com.apple.FinalCutTrial", "com.apple.FinalCut"},
      {"com.adobe.PremierePro.24", "com.adobe.premierepro"},
      {"com.blackmagic-design.DaVinciResolveLite", "com.blackmagic-design.davinci-resolve"},
      // The canonical Resolve ID itself has a hyphen the prefix does not.
      {"com.blackmagic-design.davinci-resolve", std::nullopt},
      {"com.apple.finalcu", std::nullopt},
      {"x.com.apple.finalcut", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [id, expected] : cases) {
    EXPECT_EQ(editor::editorIDForBundleID(id, kText), expected) << id;
  }
  // Only the exact Final Cut Pro ID makes it active.
  EXPECT_THAT(editor::editorStateMessagesFor("com.apple.FinalCut"),
              ::testing::ElementsAre("fcp:active", "app:active:com.apple.FinalCut"));
  EXPECT_THAT(editor::editorStateMessagesFor("com.apple.finalcut"),
              ::testing::ElementsAre("fcp:inactive", "app:active:com.apple.finalcut"));
}

TEST(Grammar, OutsideTextCannotBreakHideOrReorderALogLine) {
  const std::pair<std::string_view, std::string> cases[] = {
      {"\\", "\\"},
      {"\r\t", "\\r\\t"},
      {std::string_view("\0\x1B", 2), "\\u{0}\\u{1b}"},
      {"\xC2\x85\xC2\x9F", "\\u{85}\\u{9f}"},  // C1 controls
      {"x\xE2\x80\xA8", "x\\u{2028}"},
      {"\xE2\x80\xAA", "\\u{202a}"},
      {"\xE2\x81\xA6", "\\u{2066}"},
      {"\xE2\x80\xAF\xE2\x81\xAA", "\xE2\x80\xAF\xE2\x81\xAA"},  // neighbours of the controls
      {"caf\xC3\xA9 \xE2\x86\x92", "caf\xC3\xA9 \xE2\x86\x92"},
      {"\xFF!", "\xFF!"},  // a byte that is not text cannot end the line either
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(escapeForLog(text), expected) << ::testing::PrintToString(std::string(text));
  }
}

}  // namespace
}  // namespace trovik
