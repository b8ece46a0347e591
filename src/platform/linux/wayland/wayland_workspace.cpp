#include "platform/linux/wayland/wayland_workspace.hpp"

#include <poll.h>
#include <wayland-client.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <map>
#include <system_error>

#include "platform/linux/desktop/application_identity.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "platform/linux/diagnostics.hpp"
#include "platform/linux/wayland/wayland_session.hpp"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace trovik {
namespace {

using namespace std::chrono_literals;

using Clock = std::chrono::steady_clock;

constexpr auto kRetryInterval = 2s;
// Reads of the compositor's socket before the run loop serves others.
constexpr int kReadsPerTurn = 64;

}  // namespace

WaylandWorkspace::Session::~Session() {
  std::error_code ignored;
  descriptor.cancel(ignored);
  descriptor.release();  // the descriptor is libwayland's to close
  for (const auto& toplevel : toplevels) zwlr_foreign_toplevel_handle_v1_destroy(toplevel.first);
  if (manager) zwlr_foreign_toplevel_manager_v1_destroy(manager);
  releasePlasmaWindows(*this);
  if (sync) wl_callback_destroy(sync);
  if (registry) wl_registry_destroy(registry);
  wl_display_disconnect(display);
}

const Toplevel* WaylandWorkspace::Session::active() const {
  for (const auto& entry : toplevels) {
    if (entry.second.activated) return &entry.second;
  }
  for (const auto& entry : plasmaWindows) {
    if (entry.second.activated) return &entry.second;
  }
  return nullptr;
}

namespace {

using Session = WaylandWorkspace::Session;
using Handle = zwlr_foreign_toplevel_handle_v1;

Toplevel& of(void* data, Handle* handle) {
  return static_cast<Session*>(data)->toplevels[handle];
}

void onTitle(void*, Handle*, const char*) {}
void onOutput(void*, Handle*, wl_output*) {}
void onParent(void*, Handle*, Handle*) {}
void onAppId(void* data, Handle* handle, const char* appId) {
  of(data, handle).pendingAppId = appId;
}
void onState(void* data, Handle* handle, wl_array* states) {
  const auto* state = static_cast<const std::uint32_t*>(states->data);
  bool activated = false;
  for (std::size_t i = 0; i < states->size / sizeof *state; ++i) {
    activated = activated || state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
  }
  of(data, handle).pendingActivated = activated;
}
// A window's changes count together, once all of them are in.
void onDone(void* data, Handle* handle) {
  Toplevel& toplevel = of(data, handle);
  toplevel.appId = toplevel.pendingAppId;
  toplevel.activated = toplevel.pendingActivated;
}
void onClosed(void* data, Handle* handle) {
  static_cast<Session*>(data)->toplevels.erase(handle);
  zwlr_foreign_toplevel_handle_v1_destroy(handle);
}

constexpr zwlr_foreign_toplevel_handle_v1_listener kToplevelListener{
    onTitle, onAppId, onOutput, onOutput, onState, onDone, onClosed, onParent};

void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, Handle* handle) {
  static_cast<Session*>(data)->toplevels[handle];
  zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kToplevelListener, data);
}
void onFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
  static_cast<Session*>(data)->finished = true;
}

constexpr zwlr_foreign_toplevel_manager_v1_listener kManagerListener{onToplevel, onFinished};

void sync(Session& s);

// The first answer brings the globals; the second, after binding the list of windows, every
// window there is; on KDE Plasma a third, each window's state.
void onSyncDone(void* data, wl_callback*, std::uint32_t) {
  Session& s = *static_cast<Session*>(data);
  wl_callback_destroy(s.sync);
  s.sync = nullptr;
  if (++s.answers == 1 && s.globals.toplevels) {
    s.manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
        s.registry, s.globals.toplevels, &zwlr_foreign_toplevel_manager_v1_interface, 1));
    zwlr_foreign_toplevel_manager_v1_add_listener(s.manager, &kManagerListener, &s);
    sync(s);
  } else if (s.answers == 1 && s.globals.plasmaWindows) {
    bindPlasmaWindows(s);
    sync(s);
  } else if (s.answers == 2 && s.plasmaManager) {
    sync(s);
  } else {
    s.ready = true;
  }
}

constexpr wl_callback_listener kSyncListener{onSyncDone};

void sync(Session& s) {
  s.sync = wl_display_sync(s.display);
  wl_callback_add_listener(s.sync, &kSyncListener, &s);
}

}  // namespace

WaylandWorkspace::WaylandWorkspace(AsioRunLoop& loop, std::string display, std::string helpAlias,
                                   std::unique_ptr<Workspace> xwayland)
    : loop_(loop),
      display_(std::move(display)),
      helpAlias_(std::move(helpAlias)),
      launchDeadline_(std::chrono::steady_clock::now() + 1s),
      retry_(loop.context()),
      xwayland_(std::move(xwayland)),
      front_(loop.context()) {
  if (xwayland_) {
    xwayland_->addActivationObserver([this](const std::optional<RunningApplication>&) {
      if (xwaylandInFront_) front_.settle(xwaylandApplication());
    });
  }
  connect();
}

WaylandWorkspace::~WaylandWorkspace() = default;

std::optional<RunningApplication> WaylandWorkspace::frontmostApplication() {
  if (!launchSettled_) {
    launchSettled_ = true;
    if (session_ && !session_->ready &&
        dispatchUntil(session_->display, session_->ready, launchDeadline_)) {
      decide();
    }
  }
  return front_.running();
}

void WaylandWorkspace::addActivationObserver(ActivationHandler handler) {
  front_.addObserver(std::move(handler));
}

bool WaylandWorkspace::openURL(const std::string& url) {
  return openWithDesktop(url, helpAlias_);
}

void WaylandWorkspace::connect() {
  wl_display* display = wl_display_connect(display_.c_str());
  if (!display) {
    return lose("no Wayland compositor at " + display_);
  }
  session_ = std::make_shared<Session>(loop_.context(), display);
  Session& s = *session_;
  s.compositor = compositorName(display);
  s.registry = listGlobals(display, s.globals);
  sync(s);
  wl_display_flush(display);
  waitForCompositor();
}

// Handles whatever the compositor has sent, then waits for more.
void WaylandWorkspace::serve() {
  Session& s = *session_;
  const std::string lost = "lost the connection to the Wayland compositor " + s.compositor;
  // A burst larger than one read is taken whole before deciding, so that the windows it passed
  // through on the way are not told to tablets one by one.
  bool more = true;
  for (int reads = 0; more && reads < kReadsPerTurn; ++reads) {
    while (wl_display_prepare_read(s.display) != 0) {
      if (wl_display_dispatch_pending(s.display) < 0) return lose(lost);
    }
    if (wl_display_flush(s.display) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(s.display);
      return lose(lost);
    }
    pollfd readable{wl_display_get_fd(s.display), POLLIN, 0};
    more = ::poll(&readable, 1, 0) > 0;
    if (more && wl_display_read_events(s.display) < 0) return lose(lost);
    if (!more) wl_display_cancel_read(s.display);
    // What the events called for (binding the window list) goes out now, not with the next read.
    if (wl_display_dispatch_pending(s.display) < 0 ||
        (wl_display_flush(s.display) < 0 && errno != EAGAIN)) {
      return lose(lost);
    }
  }
  if (s.finished) return lose("the Wayland compositor " + s.compositor + " ended its window list");
  if (s.ready && !s.manager && !s.plasmaManager) {
    return lose("the Wayland compositor " + s.compositor + " offers no list of windows");
  }
  if (s.ready) {
    launchSettled_ = true;
    saidUnavailable_ = false;
    decide();
  }
  if (!more) return waitForCompositor();
  // The rest after whatever else waits on this thread.
  asio::post(loop_.context(), [this, weak = std::weak_ptr<Session>(session_)] {
    if (weak.lock() == session_) serve();
  });
}

void WaylandWorkspace::waitForCompositor() {
  std::weak_ptr<Session> weak = session_;
  session_->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                  [this, weak](const std::error_code& error) {
                                    if (error || weak.lock() != session_) return;
                                    serve();
                                  });
}

void WaylandWorkspace::lose(const std::string& why) {
  // A compositor drops a client that falls behind a burst of its events (libwayland-server
  // 1.21 holds no more): one that had served a while is asked again at once, and the
  // application in front stays unless the new list says otherwise.
  const bool again =
      session_ && session_->ready && Clock::now() - session_->since >= kRetryInterval;
  session_.reset();
  xwaylandInFront_ = false;
  say(why + "; no editor is seen in front until it is back");
  if (again) {
    front_.noWindow();
  } else {
    front_.lost();
  }
  retry_.expires_after(again ? Clock::duration::zero() : Clock::duration(kRetryInterval));
  retry_.async_wait([this](const std::error_code& error) {
    if (!error) connect();
  });
}

// The window in front after the changes so far.
void WaylandWorkspace::decide() {
  const Toplevel* toplevel = session_->active();
  if (!toplevel) return front_.noWindow();
  xwaylandInFront_ = toplevel->appId.empty() && xwayland_;
  front_.window(xwaylandInFront_ ? xwaylandApplication()
                                 : applicationIdentifierOfAppId(toplevel->appId));
}

std::optional<std::string> WaylandWorkspace::xwaylandApplication() {
  const auto application = xwayland_->frontmostApplication();
  return application ? application->bundleIdentifier : std::nullopt;
}

// Once until the compositor is back: the retries every 2 s would otherwise flood the log.
void WaylandWorkspace::say(const std::string& text) {
  if (saidUnavailable_) return;
  saidUnavailable_ = true;
  diagnose("workspace", text);
}

}  // namespace trovik
