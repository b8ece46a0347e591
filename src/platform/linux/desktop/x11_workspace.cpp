#include "platform/linux/desktop/x11_workspace.hpp"

#include <asio/posix/stream_descriptor.hpp>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/linux/desktop/x11_active_window.hpp"
#include "platform/linux/desktop/xdg_open.hpp"
#include "platform/linux/diagnostics.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;

constexpr auto kRetryInterval = 2s;
constexpr auto kLaunchPatience = 1s;

}  // namespace

struct X11Workspace::Attempts {
  std::mutex mutex;
  std::condition_variable finished;
  bool closed = false;    // the workspace is gone: a late connection is dropped
  bool inFlight = false;  // one attempt at a time, however long the server takes
  std::optional<ActiveWindowWatch> result;
};

struct X11Workspace::Session {
  Session(asio::io_context& context, const ActiveWindowWatch& watch)
      : c(watch.connection),
        root(watch.root),
        atoms(watch.atoms),
        descriptor(context, xcb_get_file_descriptor(c)) {}
  ~Session() {
    std::error_code ignored;
    descriptor.cancel(ignored);
    descriptor.release();  // the descriptor is xcb's to close
    xcb_disconnect(c);
  }
  xcb_connection_t* const c;
  const xcb_window_t root;
  const X11Atoms atoms;
  asio::posix::stream_descriptor descriptor;
  std::optional<ActiveWindowQuery> query;
  bool queryAgain = false;  // the active window changed while `query` was in flight
};

X11Workspace::X11Workspace(AsioRunLoop& loop, std::string display, std::string helpAlias)
    : loop_(loop),
      display_(std::move(display)),
      helpAlias_(std::move(helpAlias)),
      launchDeadline_(std::chrono::steady_clock::now() + kLaunchPatience),
      attempts_(std::make_shared<Attempts>()),
      retry_(loop.context()) {
  if (display_.empty()) {
    sayUnavailable("DISPLAY is not set; no editor is seen in front");
    return;
  }
  startAttempt();
}

X11Workspace::~X11Workspace() {
  std::optional<ActiveWindowWatch> late;
  {
    std::lock_guard lock(attempts_->mutex);
    attempts_->closed = true;
    late = std::move(attempts_->result);
  }
  if (late && late->connection) xcb_disconnect(late->connection);
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
  if (!launchSettled_) {
    launchSettled_ = true;
    std::unique_lock lock(attempts_->mutex);
    attempts_->finished.wait_until(lock, launchDeadline_, [&] { return !attempts_->inFlight; });
    lock.unlock();
    takeAttempt();
  }
  return front_.running();
}

void X11Workspace::addActivationObserver(ActivationHandler handler) {
  front_.addObserver(std::move(handler));
}

bool X11Workspace::openURL(const std::string& url) {
  return openWithDesktop(url, helpAlias_);
}

void X11Workspace::startAttempt() {
  {
    std::lock_guard lock(attempts_->mutex);
    if (attempts_->inFlight) return;
    attempts_->inFlight = true;
  }
  // The thread holds only what outlives the workspace; `this` is used on the main thread,
  // and only while the workspace is not closed.
  auto finish = [attempts = attempts_, loop = &loop_, this](ActiveWindowWatch watch) {
    std::lock_guard lock(attempts->mutex);
    if (attempts->closed) {
      if (watch.connection) xcb_disconnect(watch.connection);
      return;
    }
    attempts->result = std::move(watch);
    attempts->inFlight = false;
    attempts->finished.notify_all();
    loop->post([attempts, this] {
      std::unique_lock lock(attempts->mutex);
      if (attempts->closed) return;
      lock.unlock();
      takeAttempt();
    });
  };
  try {
    std::thread([finish, display = display_] { finish(watchActiveWindow(display)); }).detach();
  } catch (const std::system_error& error) {
    ActiveWindowWatch failed;
    failed.problem = error.what();
    finish(std::move(failed));
  }
}

void X11Workspace::takeAttempt() {
  std::optional<ActiveWindowWatch> watch;
  {
    std::lock_guard lock(attempts_->mutex);
    watch.swap(attempts_->result);
  }
  if (!watch) return;
  if (!watch->connection) {
    sayUnavailable(watch->problem + "; no editor is seen in front until it answers");
    scheduleAttempt();
    return;
  }
  saidUnavailable_ = false;
  session_ = std::make_shared<Session>(loop_.context(), *watch);
  front_.settle(watch->application);
  serve();
}

void X11Workspace::scheduleAttempt() {
  retry_.expires_after(kRetryInterval);
  retry_.async_wait([this](const std::error_code& error) {
    if (!error) startAttempt();
  });
}

// Handles whatever the server has sent, then waits for more. xcb may read from the socket
// while it sends, so what it holds already is taken before waiting on the descriptor.
void X11Workspace::serve() {
  Session& s = *session_;
  for (;;) {
    xcb_generic_event_t* event = xcb_poll_for_event(s.c);
    if (!event && s.query && s.query->advance()) {
      const std::optional<std::string> application = s.query->application();
      s.query.reset();
      if (s.queryAgain) startQuery();
      front_.settle(application);
      continue;
    }
    if (!event) event = xcb_poll_for_queued_event(s.c);
    if (!event) break;
    const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
    if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY && property->window == s.root &&
        property->atom == s.atoms.activeWindow) {
      startQuery();
    }
    std::free(event);
  }
  if (xcb_connection_has_error(s.c)) return lose();
  waitForServer();
}

void X11Workspace::waitForServer() {
  std::weak_ptr<Session> weak = session_;
  session_->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                  [this, weak](const std::error_code& error) {
                                    if (error || weak.lock() != session_) return;
                                    serve();
                                  });
}

// One reading at a time, and one more for every burst of changes during it: the last
// reading always follows the last change, and a burst costs the server only a few requests.
void X11Workspace::startQuery() {
  Session& s = *session_;
  s.queryAgain = s.query.has_value();
  if (!s.queryAgain) s.query.emplace(s.c, s.root, s.atoms);
}

void X11Workspace::lose() {
  session_.reset();
  sayUnavailable("lost the connection to the X display " + display_ +
                 "; no editor is seen in front until it is back");
  front_.settle(std::nullopt);
  scheduleAttempt();
}

// Once until the display is back: the retries every 2 s would otherwise flood the log.
void X11Workspace::sayUnavailable(const std::string& text) {
  if (saidUnavailable_) return;
  saidUnavailable_ = true;
  diagnose("workspace", text);
}

}  // namespace trovik
