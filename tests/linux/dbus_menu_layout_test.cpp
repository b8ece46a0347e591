// What a dbusmenu host draws that the tray test cannot show with its own menu: a title with
// underscores, and a shortcut with Shift. (The whole menu, driven by a real tray: tray_e2e_test.)

#include <gtest/gtest.h>

#include "platform/linux/desktop/dbus_menu_layout.hpp"

namespace trovik::dbusmenu {
namespace {

TEST(DbusMenuLayout, UnderscoresShowAsWrittenAndAnUpperCaseKeyAddsShift) {
  // A lone underscore would mark a mnemonic, which the host hides.
  EXPECT_EQ(itemProperties(MenuItem("This Mac: studio_mac__2", "", "")),
            (Properties{{"label", "This Mac: studio__mac____2"}, {"enabled", false}}));
  EXPECT_EQ(itemProperties(MenuItem("Save As", "saveAs", "S")),
            (Properties{{"label", "Save As"}, {"shortcut", Shortcut{{"Control", "Shift", "s"}}}}));
}

}  // namespace
}  // namespace trovik::dbusmenu
