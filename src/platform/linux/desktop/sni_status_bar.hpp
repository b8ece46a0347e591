#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "platform/menu.hpp"
#include "platform/status_bar.hpp"

namespace trovik {

// Status items in the desktop's tray, as StatusNotifierItems on the session bus (KDE Plasma,
// LXQt, Xfce, Cinnamon, GNOME with its AppIndicator extension, waybar...). Without a session
// bus there is no item, and one line on standard error says so. Main thread only.
class SniStatusBar final : public StatusBar {
 public:
  // `busAddress` empty: the user's session bus. Items are served from `context`, which must
  // be the main thread's.
  explicit SniStatusBar(asio::io_context& context, std::string busAddress = {});

  // Where picked lines without a target of their own send their actions: the end of the
  // responder chain, the application's delegate. Held weakly, read at each pick.
  void setApplicationDelegate(std::weak_ptr<MenuActionTarget> delegate) {
    delegate_ = std::move(delegate);
  }

  std::shared_ptr<StatusItem> statusItemWithLength(double length) override;

 private:
  asio::io_context& context_;
  const std::string busAddress_;
  std::weak_ptr<MenuActionTarget> delegate_;
  int items_ = 0;
};

}  // namespace trovik
