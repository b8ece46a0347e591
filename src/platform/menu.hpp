#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trovik {

// Receives menu actions by their selector names ("quitApp", "toggleLoginItem", ...).
class MenuActionTarget {
 public:
  virtual ~MenuActionTarget() = default;
  virtual void performAction(std::string_view action) = 0;
};

// A menu line. Lives on the main thread. Titles and check marks change in place, and the
// backend showing the menu is told through the observer.
class MenuItem {
 public:
  MenuItem(std::string title, std::string action, std::string keyEquivalent)
      : title_(std::move(title)), action_(std::move(action)), key_(std::move(keyEquivalent)) {}
  static std::shared_ptr<MenuItem> separatorItem() {
    auto item = std::make_shared<MenuItem>("", "", "");
    item->separator_ = true;
    return item;
  }

  bool isSeparator() const { return separator_; }
  const std::string& title() const { return title_; }
  void setTitle(std::string title) {
    title_ = std::move(title);
    changed();
  }
  int state() const { return state_; }  // 0 off, 1 on (check mark)
  bool isHidden() const { return hidden_; }
  // True once hidden: such an item always says whether it shows.
  bool canHide() const { return canHide_; }
  void setHidden(bool hidden) {
    hidden_ = hidden;
    canHide_ = true;
    changed();
  }
  // True once a check state was set: such an item keeps room for its check mark while off.
  bool hasState() const { return hasState_; }
  void setState(int state) {
    state_ = state;
    hasState_ = true;
    changed();
  }
  const std::string& action() const { return action_; }  // empty: none, shown disabled
  const std::string& keyEquivalent() const { return key_; }
  std::shared_ptr<MenuActionTarget> target() const { return target_.lock(); }
  bool hasTarget() const { return hasTarget_; }
  void setTarget(std::weak_ptr<MenuActionTarget> target) {
    target_ = std::move(target);
    hasTarget_ = true;
  }
  void setObserver(std::function<void()> observer) { observer_ = std::move(observer); }

 private:
  void changed() {
    if (observer_) observer_();
  }

  std::string title_;
  std::string action_;
  std::string key_;
  bool separator_ = false;
  bool hidden_ = false;
  bool canHide_ = false;
  int state_ = 0;
  bool hasState_ = false;
  std::weak_ptr<MenuActionTarget> target_;
  bool hasTarget_ = false;
  std::function<void()> observer_;
};

class Menu {
 public:
  void addItem(std::shared_ptr<MenuItem> item) { items_.push_back(std::move(item)); }
  const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }

 private:
  std::vector<std::shared_ptr<MenuItem>> items_;
};

// Delivers a picked item's action: to its target when it has one, else along the responder
// chain, which ends at the application's delegate. Items without an action are inert.
inline void deliverMenuAction(const MenuItem& item,
                              const std::shared_ptr<MenuActionTarget>& delegate) {
  if (item.action().empty()) return;
  if (item.hasTarget()) {
    if (auto target = item.target()) target->performAction(item.action());
    return;
  }
  if (delegate) delegate->performAction(item.action());
}

}  // namespace trovik
