// The evdev keys that the key tables' positions land on, and the keys a virtual keyboard
// declares.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <map>
#include <string>

#include "keys/key_tables.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"

namespace trovik {
namespace {

TEST(EvdevKeyCodes, EveryTableEntryLandsOnTheDeclaredKeyOfItsKeycap) {
  // What each command text names on a US keyboard, from the keycaps rather than from the
  // tables' macOS codes. "~" is the key that carries it: no Shift is added. The rows of keys
  // have consecutive codes.
  // clang-format off
  std::map<std::string, int> keycap = {
      {"SPACE", KEY_SPACE}, {"RETURN", KEY_ENTER}, {"DELETE", KEY_BACKSPACE}, {"TAB", KEY_TAB},
      {"ESC", KEY_ESC}, {"LEFT", KEY_LEFT}, {"RIGHT", KEY_RIGHT}, {"UP", KEY_UP},
      {"DOWN", KEY_DOWN}, {"PREV_FRAME", KEY_LEFT}, {"NEXT_FRAME", KEY_RIGHT},
      {"PREV_EDIT", KEY_LEFT}, {"NEXT_EDIT", KEY_RIGHT}, {"~", KEY_GRAVE}};
  const std::pair<std::string_view, int> rows[] = {{"1234567890-=", KEY_1}, {"qwertyuiop[]", KEY_Q},
      {"asdfghjkl;'`", KEY_A}, {"\\zxcvbnm,./", KEY_BACKSLASH}};
  // clang-format on
  for (const auto& [row, first] : rows)
    for (std::size_t i = 0; i < row.size(); ++i) keycap[std::string(1, row[i])] = first + int(i);
  const auto keys = evdevKeysDeclared();
  const auto declared = [&](int code) { return std::ranges::count(keys, code) > 0; };
  for (const auto table : {keys::specialKeyTable(), keys::characterKeyTable()}) {
    for (const auto& entry : table) {
      const auto key = keycap.extract(std::string(entry.text));  // each text once
      ASSERT_FALSE(key.empty()) << entry.text;
      EXPECT_EQ(evdevKeyCode(entry.code), key.mapped()) << entry.text;
      EXPECT_TRUE(declared(key.mapped())) << entry.text;
    }
  }
  EXPECT_EQ(keycap.size(), 0u);  // a table that lost an entry shows here
  // udev takes a device for a keyboard only with every key from Esc to S; on to the Shift that
  // presses hold, every key is one of the tables' but Left Ctrl.
  for (int code = KEY_ESC; code <= KEY_LEFTSHIFT; ++code) EXPECT_TRUE(declared(code)) << code;
}

}  // namespace
}  // namespace trovik
