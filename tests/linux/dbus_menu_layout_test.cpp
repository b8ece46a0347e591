#include <gtest/gtest.h>

#include <map>

#include "platform/linux/desktop/dbus_menu_layout.hpp"

namespace trovik::dbusmenu {
namespace {

// What a host reads of a line, as "name=value" in name order: the order means nothing to it.
std::string drawn(const MenuItem& item) {
  std::map<std::string, std::string> shown;
  for (const auto& [name, value] : itemProperties(item)) {
    std::string text;
    if (auto* s = std::get_if<std::string>(&value)) text = "'" + *s + "'";
    if (auto* b = std::get_if<bool>(&value)) text = *b ? "true" : "false";
    if (auto* i = std::get_if<std::int32_t>(&value)) text = std::to_string(*i);
    for (const auto& keys : std::get_if<Shortcut>(&value) ? std::get<Shortcut>(value) : Shortcut{})
      for (const auto& key : keys) text += "+" + key;
    EXPECT_TRUE(shown.emplace(name, text).second) << name << " twice";
  }
  std::string text;
  for (const auto& [name, value] : shown) text += (text.empty() ? "" : " ") + name + "=" + value;
  return text;
}

TEST(DbusMenuLayout, EachLineCarriesWhatAHostNeedsToDrawIt) {
  struct Row {
    const char *title, *action, *key;
    int state;  // -1: never set
    const char* expected;
  };
  const Row rows[] = {
      // A single underscore marks a mnemonic in dbusmenu, which would hide it.
      {"This Mac: studio_mac__2", "", "", -1, "enabled=false label='This Mac: studio__mac____2'"},
      {"Accessibility Settings", "openAccessibilityPrefs", "", -1,
       "label='Accessibility Settings'"},
      {"Open at Login", "toggleLoginItem", "", 1,
       "label='Open at Login' toggle-state=1 toggle-type='checkmark'"},
      // Unchecked, it is still a check item: the host keeps its box.
      {"Open at Login", "toggleLoginItem", "", 0,
       "label='Open at Login' toggle-state=0 toggle-type='checkmark'"},
      {"Quit Trovik Helper", "quitApp", "q", -1, "label='Quit Trovik Helper' shortcut=+Control+q"},
      {"Save As", "saveAs", "S", -1, "label='Save As' shortcut=+Control+Shift+s"},
  };
  for (const auto& row : rows) {
    MenuItem item(row.title, row.action, row.key);
    if (row.state >= 0) item.setState(row.state);
    EXPECT_EQ(drawn(item), row.expected) << row.title;
  }
  EXPECT_EQ(drawn(*MenuItem::separatorItem()), "type='separator'");
}

}  // namespace
}  // namespace trovik::dbusmenu
