#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <map>
#include <string>

#include "keys/key_tables.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"

namespace trovik {
namespace {

// What each command text names, as the key a US keyboard has for it: written from the
// keycap, independently of the key tables' macOS codes. "~" is the key that carries it: no
// Shift is added.
// clang-format off
const std::map<std::string, std::uint16_t> kKeyForText = {
    {"SPACE", KEY_SPACE}, {"RETURN", KEY_ENTER}, {"DELETE", KEY_BACKSPACE}, {"TAB", KEY_TAB},
    {"ESC", KEY_ESC}, {"LEFT", KEY_LEFT}, {"RIGHT", KEY_RIGHT}, {"UP", KEY_UP},
    {"DOWN", KEY_DOWN}, {"PREV_FRAME", KEY_LEFT}, {"NEXT_FRAME", KEY_RIGHT},
    {"PREV_EDIT", KEY_LEFT}, {"NEXT_EDIT", KEY_RIGHT}, {"[", KEY_LEFTBRACE},
    {"]", KEY_RIGHTBRACE}, {"\\", KEY_BACKSLASH}, {";", KEY_SEMICOLON}, {"'", KEY_APOSTROPHE},
    {",", KEY_COMMA}, {".", KEY_DOT}, {"/", KEY_SLASH}, {"-", KEY_MINUS}, {"=", KEY_EQUAL},
    {"`", KEY_GRAVE}, {"~", KEY_GRAVE}, {"a", KEY_A}, {"b", KEY_B}, {"c", KEY_C}, {"d", KEY_D},
    {"e", KEY_E}, {"f", KEY_F}, {"g", KEY_G}, {"h", KEY_H}, {"i", KEY_I}, {"j", KEY_J},
    {"k", KEY_K}, {"l", KEY_L}, {"m", KEY_M}, {"n", KEY_N}, {"o", KEY_O}, {"p", KEY_P},
    {"q", KEY_Q}, {"r", KEY_R}, {"s", KEY_S}, {"t", KEY_T}, {"u", KEY_U}, {"v", KEY_V},
    {"w", KEY_W}, {"x", KEY_X}, {"y", KEY_Y}, {"z", KEY_Z}, {"0", KEY_0}, {"1", KEY_1},
    {"2", KEY_2}, {"3", KEY_3}, {"4", KEY_4}, {"5", KEY_5}, {"6", KEY_6}, {"7", KEY_7},
    {"8", KEY_8}, {"9", KEY_9},
};
// clang-format on

TEST(EvdevKeyCodes, EveryTableEntryLandsOnTheKeyItNames) {
  std::size_t checked = 0;
  for (const auto table : {keys::specialKeyTable(), keys::characterKeyTable()}) {
    for (const auto& entry : table) {
      SCOPED_TRACE(std::string(entry.text));
      const auto expected = kKeyForText.find(std::string(entry.text));
      ASSERT_NE(expected, kKeyForText.end()) << "no known key for this table entry";
      EXPECT_EQ(evdevKeyCode(entry.code), expected->second);
      ++checked;
    }
  }
  // Every key above is one the tables use: a table that lost an entry shows here.
  EXPECT_EQ(checked, kKeyForText.size());
}

TEST(EvdevKeyCodes, AVirtualKeyboardDeclaresEveryKeyItPressesAndPassesForAKeyboard) {
  const auto keys = evdevKeysDeclared();
  const auto declared = [&](std::uint16_t code) {
    return std::find(keys.begin(), keys.end(), code) != keys.end();
  };
  for (const auto& [text, code] : kKeyForText) EXPECT_TRUE(declared(code)) << text;
  EXPECT_TRUE(declared(KEY_LEFTSHIFT));
  // udev's test for a full keyboard: every key from Esc to S.
  for (std::uint16_t code = KEY_ESC; code <= KEY_S; ++code) EXPECT_TRUE(declared(code)) << code;
  EXPECT_EQ(evdevKeyCode(56), KEY_LEFTSHIFT);
  // Positions the agent never presses translate to nothing rather than to a wrong key.
  for (const KeyCode unused : {10, 52, 54, 55, 57, 76, 122, 127, 0xffff}) {
    EXPECT_EQ(evdevKeyCode(unused), std::nullopt) << unused;
  }
}

}  // namespace
}  // namespace trovik
