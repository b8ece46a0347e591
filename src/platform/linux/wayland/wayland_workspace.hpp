#pragma once

#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/wayland/settling_front.hpp"
#include "platform/workspace.hpp"

namespace trovik {

// The application in front on a wlroots compositor: the app id of the window whose state
// holds "activated", from zwlr_foreign_toplevel_manager_v1; links open through xdg-open.
// Main thread only.
//
// The connection's descriptor is served by the run loop, which never waits on the
// compositor. Focus moving from one window to another comes as the old window's change,
// then the new one's: a moment with no active window is taken for nothing in front only
// once it lasts. A lost compositor makes the front application none and is tried again
// every 2 s.
class WaylandWorkspace final : public Workspace {
 public:
  // `display` as in $WAYLAND_DISPLAY. `helpAlias`: see X11Workspace. `xwayland` names the
  // application of an X11 window in front, which the compositor lists without an app id.
  WaylandWorkspace(AsioRunLoop& loop, std::string display, std::string helpAlias = {},
                   std::unique_ptr<Workspace> xwayland = nullptr);
  ~WaylandWorkspace() override;
  WaylandWorkspace(const WaylandWorkspace&) = delete;
  WaylandWorkspace& operator=(const WaylandWorkspace&) = delete;

  // The first call waits, up to a second after construction, for the compositor's list of
  // windows, so that an application already in front at launch is seen.
  std::optional<RunningApplication> frontmostApplication() override;
  void addActivationObserver(ActivationHandler handler) override;
  bool openURL(const std::string& url) override;

  struct Session;  // one live connection

 private:
  void connect();
  void serve();
  void waitForCompositor();
  void lose(const std::string& why);
  void decide();
  std::optional<std::string> xwaylandApplication();
  void say(const std::string& text);

  AsioRunLoop& loop_;
  const std::string display_;
  const std::string helpAlias_;
  const std::chrono::steady_clock::time_point launchDeadline_;
  std::shared_ptr<Session> session_;
  asio::steady_timer retry_;
  std::unique_ptr<Workspace> xwayland_;
  bool xwaylandInFront_ = false;
  SettlingFront front_;
  bool launchSettled_ = false;
  bool saidUnavailable_ = false;
};

}  // namespace trovik
