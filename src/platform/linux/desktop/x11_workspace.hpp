#pragma once

#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/asio_run_loop.hpp"
#include "platform/linux/desktop/front_application.hpp"
#include "platform/workspace.hpp"

namespace trovik {

// The application in front on an X display, after the root window's _NET_ACTIVE_WINDOW as
// the window manager sets it (X11, and X11 applications under Xwayland); links open through
// xdg-open. Main thread only.
//
// The main thread never waits on the X server: the connection's descriptor is served by
// the run loop, and replies are read only once they have arrived. Connecting is the one
// step that xcb does only by waiting, so each attempt runs on a short-lived thread of its
// own, which hands the connection to the run loop. A lost connection makes the front
// application none and is tried again every 2 s, as is a display that does not answer yet.
class X11Workspace final : public Workspace {
 public:
  // `display` as in $DISPLAY; empty when that is not set, and then nothing is watched.
  // `helpAlias` is the link that opens the keyboard-access help (see openWithDesktop).
  X11Workspace(AsioRunLoop& loop, std::string display, std::string helpAlias = {});
  ~X11Workspace() override;
  X11Workspace(const X11Workspace&) = delete;
  X11Workspace& operator=(const X11Workspace&) = delete;

  // The first call waits, up to a second after construction, for the first connection
  // attempt, so that an application already in front at launch is seen.
  std::optional<RunningApplication> frontmostApplication() override;
  void addActivationObserver(ActivationHandler handler) override;
  bool openURL(const std::string& url) override;

  struct Attempts;  // shared with the connecting threads
  struct Session;   // one live connection

 private:
  void startAttempt();
  void takeAttempt();
  void scheduleAttempt();
  void serve();
  void waitForServer();
  void startQuery();
  void lose();
  void sayUnavailable(const std::string& why);

  AsioRunLoop& loop_;
  const std::string display_;
  const std::string helpAlias_;
  const std::chrono::steady_clock::time_point launchDeadline_;
  std::shared_ptr<Attempts> attempts_;
  std::shared_ptr<Session> session_;
  asio::steady_timer retry_;
  FrontApplication front_;
  bool launchSettled_ = false;
  bool saidUnavailable_ = false;
};

}  // namespace trovik
