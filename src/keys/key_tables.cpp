#include "keys/key_tables.hpp"

#include "service/messages.hpp"

namespace trovik::keys {
namespace {

// The named keys spell themselves as the shared command texts, so clients cannot drift.
// clang-format off
constexpr KeyTableEntry kSpecialKeys[] = {
    {messages::kSpace, 49}, {messages::kReturn, 36}, {messages::kDelete, 51},
    {messages::kTab, 48},   {messages::kEsc, 53},    {messages::kLeft, 123},
    {messages::kRight, 124}, {messages::kUp, 126},   {messages::kDown, 125},
    {"PREV_FRAME", 123}, {"NEXT_FRAME", 124}, {"PREV_EDIT", 123}, {"NEXT_EDIT", 124},
    {"[", 33}, {"]", 30}, {"\\", 42}, {";", 41}, {"'", 39}, {",", 43}, {".", 47},
    {"/", 44}, {"-", 27}, {"=", 24}, {"`", 50}, {"~", 50},
};
// clang-format on

constexpr KeyTableEntry kCharacterKeys[] = {
    {"a", 0},  {"s", 1},  {"d", 2},  {"f", 3},  {"h", 4},  {"g", 5},  {"z", 6},  {"x", 7},
    {"c", 8},  {"v", 9},  {"b", 11}, {"q", 12}, {"w", 13}, {"e", 14}, {"r", 15}, {"y", 16},
    {"t", 17}, {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"6", 22}, {"5", 23}, {"9", 25},
    {"7", 26}, {"8", 28}, {"0", 29}, {"o", 31}, {"u", 32}, {"i", 34}, {"p", 35}, {"l", 37},
    {"j", 38}, {"k", 40}, {"n", 45}, {"m", 46},
};

std::optional<KeyCode> find(std::span<const KeyTableEntry> table, std::string_view text) {
  for (const auto& entry : table) {
    if (entry.text == text) return entry.code;
  }
  return std::nullopt;
}

}  // namespace

std::optional<KeyCode> specialKeyCode(std::string_view name) {
  return find(kSpecialKeys, name);
}

std::optional<KeyCode> characterKeyCode(std::string_view character) {
  return find(kCharacterKeys, character);
}

std::span<const KeyTableEntry> specialKeyTable() {
  return kSpecialKeys;
}

std::span<const KeyTableEntry> characterKeyTable() {
  return kCharacterKeys;
}

}  // namespace trovik::keys
