#pragma once

#include <memory>
#include <string>

#include "platform/menu.hpp"

namespace trovik {

inline constexpr double kSquareStatusItemLength = -2.0;

class StatusBarButton {
 public:
  virtual ~StatusBarButton() = default;
  virtual void setImage(const std::string& symbolName,
                        const std::string& accessibilityDescription) = 0;
};

// An indicator in the system tray; shown while held. Main thread only.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  virtual StatusBarButton* button() = 0;  // null when the item has no button
  virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
};

class StatusBar {
 public:
  virtual ~StatusBar() = default;
  // Null when there is nowhere to show a status item.
  virtual std::shared_ptr<StatusItem> statusItemWithLength(double length) = 0;
};

}  // namespace trovik
