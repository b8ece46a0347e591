#include "platform/linux/keyboard/evdev_key_codes.hpp"

#include <linux/input-event-codes.h>

#include <array>

namespace trovik {
namespace {

static_assert(KEY_LEFTSHIFT == kEvdevLeftShift);

// Indexed by macOS virtual key code (US ANSI positions); 0 marks a position we never press.
constexpr std::size_t kMacCodes = 127;
constexpr std::array<std::uint16_t, kMacCodes> kMacToEvdev = [] {
  std::array<std::uint16_t, kMacCodes> t{};
  t[0] = KEY_A, t[1] = KEY_S, t[2] = KEY_D, t[3] = KEY_F, t[4] = KEY_H, t[5] = KEY_G;
  t[6] = KEY_Z, t[7] = KEY_X, t[8] = KEY_C, t[9] = KEY_V, t[11] = KEY_B, t[12] = KEY_Q;
  t[13] = KEY_W, t[14] = KEY_E, t[15] = KEY_R, t[16] = KEY_Y, t[17] = KEY_T;
  t[18] = KEY_1, t[19] = KEY_2, t[20] = KEY_3, t[21] = KEY_4, t[22] = KEY_6, t[23] = KEY_5;
  t[24] = KEY_EQUAL, t[25] = KEY_9, t[26] = KEY_7, t[27] = KEY_MINUS, t[28] = KEY_8;
  t[29] = KEY_0, t[30] = KEY_RIGHTBRACE, t[31] = KEY_O, t[32] = KEY_U, t[33] = KEY_LEFTBRACE;
  t[34] = KEY_I, t[35] = KEY_P, t[36] = KEY_ENTER, t[37] = KEY_L, t[38] = KEY_J;
  t[39] = KEY_APOSTROPHE, t[40] = KEY_K, t[41] = KEY_SEMICOLON, t[42] = KEY_BACKSLASH;
  t[43] = KEY_COMMA, t[44] = KEY_SLASH, t[45] = KEY_N, t[46] = KEY_M, t[47] = KEY_DOT;
  t[48] = KEY_TAB, t[49] = KEY_SPACE, t[50] = KEY_GRAVE, t[51] = KEY_BACKSPACE;
  t[53] = KEY_ESC, t[56] = KEY_LEFTSHIFT;
  t[123] = KEY_LEFT, t[124] = KEY_RIGHT, t[125] = KEY_DOWN, t[126] = KEY_UP;
  return t;
}();

// udev calls a device a keyboard (ID_INPUT_KEYBOARD) only when it has every key from Esc
// to S, Left Ctrl among them; the table lacks only that one. Shift has its own position (56)
// in the table, so it is there already.
constexpr std::uint16_t kExtraKeys[] = {KEY_LEFTCTRL};

constexpr std::size_t countDeclared() {
  std::size_t n = std::size(kExtraKeys);
  for (auto code : kMacToEvdev) n += code != 0;
  return n;
}

constexpr auto kDeclared = [] {
  std::array<std::uint16_t, countDeclared()> declared{};
  std::size_t i = 0;
  for (auto code : kMacToEvdev) {
    if (code != 0) declared[i++] = code;
  }
  for (auto code : kExtraKeys) declared[i++] = code;
  return declared;
}();

}  // namespace

std::optional<std::uint16_t> evdevKeyCode(KeyCode macCode) {
  if (macCode >= kMacToEvdev.size() || kMacToEvdev[macCode] == 0) return std::nullopt;
  return kMacToEvdev[macCode];
}

std::span<const std::uint16_t> evdevKeysDeclared() {
  return kDeclared;
}

}  // namespace trovik
