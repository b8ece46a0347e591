#include <gmock/gmock.h>
#include <gtest/gtest.h>


#include "fakes/fake_services.hpp"
#include "keys/key_posting.hpp"
#include "keys/key_spec.hpp"
#include "platform/linux/icu_text.hpp"

namespace trovik {
namespace {

using fakes::Press;
using keys::KeyPress;

const IcuText kText;

struct SpecCase {
  const char* text;
  std::optional<KeyPress> expected;
};

TEST(KeySpecGrammar, ResolvesEveryFormOfCommand) {
  const SpecCase cases[] = {
      {"SPACE", KeyPress{49, false}},
      {"RETURN", KeyPress{36, false}},
      {"PREV_FRAME", KeyPress{123, false}},
      {"NEXT_EDIT", KeyPress{124, false}},
      {"~", KeyPress{50, false}},  // no Shift added for a shifted symbol
      {"`", KeyPress{50, false}},
      {"\\", KeyPress{42, false}},
      {"[", KeyPress{33, false}},
      {"a", KeyPress{0, false}},
      {"A", KeyPress{0, false}},  // upper case is lower-cased, never shifted
      {"7", KeyPress{26, false}},
      {"shift+a", KeyPress{0, true}},
      {"shift+1", KeyPress{18, true}},
      {"shift+ab", KeyPress{0, true}},  // only the first character after the prefix
      {"shift+A", std::nullopt},        // not lower-cased in the shift form
      {"shift+;", std::nullopt},        // special keys are not consulted
      {"shift+", std::nullopt},
      {"Shift+a", KeyPress{1, false}},  // not the shift form: first letter s
      {"space", KeyPress{1, false}},    // names are case-sensitive
      {"esc", KeyPress{14, false}},
      {"Hello", KeyPress{4, false}},
      {"key:fired", KeyPress{40, false}},
      {"FCP:x", KeyPress{3, false}},
      {"[x", std::nullopt},
      {"\xC3\xA9", std::nullopt},   // é is not in the table
      {"\xC3\x89", std::nullopt},   // É lower-cases to é
      {"e\xCC\x81", std::nullopt},  // e + combining acute is one character, not e
      {"shift+e\xCC\x81", std::nullopt},
      {"\xE2\x86\x92", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keys::keyPressForSpec(c.text, kText), c.expected) << c.text;
  }
}

class KeyPosting : public ::testing::Test {
 protected:
  fakes::FakeKeyboard keyboard;
  fakes::FakeTrust trust{true};
  fakes::FakeLog log;
};

TEST_F(KeyPosting, PressesWithAndWithoutShiftAndOnlyThePlainOneSaysWhenAccessIsMissing) {
  keys::postKey(49, keyboard, trust, log);
  keys::postKeyWithShift(0, keyboard, trust);
  EXPECT_THAT(keyboard.presses(), ::testing::ElementsAre(Press{49, false}, Press{0, true}));
  EXPECT_THAT(log.lines(), ::testing::IsEmpty());

  trust.set(false);
  keys::postKey(49, keyboard, trust, log);
  keys::postKey(49, keyboard, trust, log);
  keys::postKeyWithShift(0, keyboard, trust);
  EXPECT_THAT(log.lines(), ::testing::ElementsAre("Trovik: Accessibility permission not granted",
                                                  "Trovik: Accessibility permission not granted"));
  EXPECT_EQ(keyboard.presses().size(), 2u);
  EXPECT_EQ(trust.queries(), 5);  // asked on every press, never cached
}

}  // namespace
}  // namespace trovik
