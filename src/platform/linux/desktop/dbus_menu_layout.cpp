#include "platform/linux/desktop/dbus_menu_layout.hpp"

namespace trovik::dbusmenu {

std::string escapeLabel(std::string_view title) {
  std::string label;
  label.reserve(title.size());
  for (char c : title) {
    if (c == '_') label.push_back('_');
    label.push_back(c);
  }
  return label;
}

Shortcut shortcutFor(std::string_view keyEquivalent) {
  if (keyEquivalent.empty()) return {};
  std::vector<std::string> keys{"Control"};
  std::string key(keyEquivalent);
  if (key.size() == 1 && key[0] >= 'A' && key[0] <= 'Z') {
    keys.emplace_back("Shift");
    key[0] = static_cast<char>(key[0] - 'A' + 'a');
  }
  keys.push_back(std::move(key));
  return {std::move(keys)};
}

Properties itemProperties(const MenuItem& item) {
  if (item.isSeparator()) return {{"type", std::string("separator")}};
  Properties properties{{"label", escapeLabel(item.title())}};
  // Lines without an action are information only, as the menu's automatic enabling shows them.
  if (item.action().empty()) properties.push_back({"enabled", false});
  if (item.canHide()) properties.push_back({"visible", !item.isHidden()});
  if (item.hasState()) {
    properties.push_back({"toggle-type", std::string("checkmark")});
    properties.push_back({"toggle-state", std::int32_t{item.state() ? 1 : 0}});
  }
  if (auto shortcut = shortcutFor(item.keyEquivalent()); !shortcut.empty()) {
    properties.push_back({"shortcut", std::move(shortcut)});
  }
  return properties;
}

Properties rootProperties() {
  return {{"children-display", std::string("submenu")}};
}

}  // namespace trovik::dbusmenu
