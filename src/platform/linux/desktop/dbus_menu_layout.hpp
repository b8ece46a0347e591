#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/menu.hpp"

// How a menu line looks to a com.canonical.dbusmenu host: its properties, with the values
// the host draws from. Properties left at the protocol's defaults (visible, enabled, a
// standard item without a toggle) are not sent.
namespace trovik::dbusmenu {

// "aas": each inner list is one key combination, modifiers first.
using Shortcut = std::vector<std::vector<std::string>>;
// D-Bus types "s", "b", "i" and "aas", in that order.
using Value = std::variant<std::string, bool, std::int32_t, Shortcut>;

struct Property {
  std::string name;
  Value value;
  bool operator==(const Property&) const = default;
};
using Properties = std::vector<Property>;

// A lone underscore marks the next letter as the mnemonic in dbusmenu; doubled, it shows as
// written.
std::string escapeLabel(std::string_view title);

// The key equivalent as a shortcut: Control stands for the Command key on Linux desktops, and
// an upper-case letter adds Shift, as it does in a key equivalent. Empty when there is none.
Shortcut shortcutFor(std::string_view keyEquivalent);

Properties itemProperties(const MenuItem& item);
Properties rootProperties();

}  // namespace trovik::dbusmenu
