#include <gtest/gtest.h>

#include <map>

#include "platform/linux/desktop/dbus_menu_layout.hpp"

namespace trovik::dbusmenu {
namespace {

using Drawn = std::map<std::string, Value>;  // what a host reads; the order means nothing

Drawn drawn(const MenuItem& item) {
  Drawn properties;
  for (const auto& p : itemProperties(item))
    EXPECT_TRUE(properties.emplace(p.name, p.value).second);
  return properties;
}

TEST(DbusMenuLayout, EachLineCarriesWhatAHostNeedsToDrawIt) {
  using S = std::string;
  struct Row {
    MenuItem item;
    int state;  // -1: never set
    Drawn expected;
  };
  const Row rows[] = {
      {{"Trovik Helper", "", ""}, -1, {{"label", S("Trovik Helper")}, {"enabled", false}}},
      // dbusmenu takes a single underscore for a mnemonic marker and would hide it.
      {{"This Mac: studio_mac__2", "", ""},
       -1,
       {{"label", S("This Mac: studio__mac____2")}, {"enabled", false}}},
      {{"Accessibility Settings", "openAccessibilityPrefs", ""},
       -1,
       {{"label", S("Accessibility Settings")}}},
      {{"Open at Login", "toggleLoginItem", ""},
       1,
       {{"label", S("Open at Login")},
        {"toggle-type", S("checkmark")},
        {"toggle-state", std::int32_t{1}}}},
      // Unchecked, it is still a check item, so the host keeps the box to show.
      {{"Open at Login", "toggleLoginItem", ""},
       0,
       {{"label", S("Open at Login")},
        {"toggle-type", S("checkmark")},
        {"toggle-state", std::int32_t{0}}}},
      {{"Quit Trovik Helper", "quitApp", "q"},
       -1,
       {{"label", S("Quit Trovik Helper")}, {"shortcut", Shortcut{{"Control", "q"}}}}},
      {{"Save As", "saveAs", "S"},
       -1,
       {{"label", S("Save As")}, {"shortcut", Shortcut{{"Control", "Shift", "s"}}}}},
  };
  for (const auto& row : rows) {
    MenuItem item = row.item;
    if (row.state >= 0) item.setState(row.state);
    EXPECT_EQ(drawn(item), row.expected) << row.item.title();
  }
  EXPECT_EQ(drawn(*MenuItem::separatorItem()), (Drawn{{"type", S("separator")}}));
}

}  // namespace
}  // namespace trovik::dbusmenu
