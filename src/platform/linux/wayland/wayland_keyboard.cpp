#include "platform/linux/wayland/wayland_keyboard.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/wayland/compositor_keys.hpp"
#include "platform/linux/wayland/us_keymap.hpp"
#include "platform/linux/wayland/wayland_display.hpp"

namespace trovik {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPatience = 1s;  // for the compositor's answers while connecting
// Applications pick a new keyboard up late: keys sent at once would be lost.
constexpr auto kNewKeyboardSettle = 300ms;
constexpr auto kFirstKeyboard = 1500ms;
constexpr auto kKeeperExit = 300ms;

using Connection = KeyboardConnection;

}  // namespace

struct WaylandKeyboard::State {
  State(std::string display_, std::function<bool()> standby_)
      : display(std::move(display_)), standby(std::move(standby_)) {}
  ~State() {
    ::close(stopFd);
    ::close(wakeFd);
  }

  void run();
  std::unique_ptr<Connection> connect(std::string& why);
  std::string watch(Connection& c);
  void setCurrent(Connection* c);
  void report(const std::string& why, const std::string& compositor);
  bool standingBy();

  const std::string display;
  const std::function<bool()> standby;
  const int stopFd = eventfd(0, EFD_CLOEXEC);                 // readable once stopping
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // a press left requests unsent
  std::optional<UsKeymap> keymap;                             // the keeper's
  std::atomic<bool> stopping{false};
  std::atomic<bool> usable{false};

  std::mutex pressMutex;  // one press at a time; guards `current`
  Connection* current = nullptr;

  mutable std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  std::string problem;
  int attempts = 0;  // that have ended
  bool exited = false;
};

void WaylandKeyboard::State::run() {
  // A request written as the compositor goes away must not end the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (auto nextAttempt = Clock::now(); !stopping;) {
    const auto now = Clock::now();
    if (now < nextAttempt || standingBy()) {
      const auto wait = now < nextAttempt ? nextAttempt - now : Clock::duration(1s);
      pollfd stop{stopFd, POLLIN, 0};
      ::poll(&stop, 1,
             static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      continue;
    }
    nextAttempt = now + kRetryInterval;
    std::string why;
    auto connection = connect(why);
    setCurrent(connection.get());
    {
      std::lock_guard lock(mutex);
      ++attempts;
      changed.notify_all();
    }
    if (!connection) {
      report(why, "");
      continue;
    }
    report("", connection->compositor);
    why = watch(*connection);
    setCurrent(nullptr);
    report(why, connection->compositor);
  }
  std::lock_guard lock(mutex);
  exited = true;
  changed.notify_all();
}

std::unique_ptr<Connection> WaylandKeyboard::State::connect(std::string& why) {
  if (!keymap) keymap = makeUsKeymap();
  if (!keymap) {
    why = "xkbcommon made no US keymap (is xkb-data installed?)";
    return nullptr;
  }
  wl_display* display_ = wl_display_connect(display.c_str());
  if (!display_) {
    why = "no Wayland compositor at " + display;
    return nullptr;
  }
  auto c = std::make_unique<Connection>();
  c->display = display_;
  c->compositor = compositorName(display_);
  c->registry = listGlobals(display_, c->globals);
  if (!roundTrip(display_, Clock::now() + kPatience, stopFd)) {
    why = "the Wayland compositor " + c->compositor + " did not answer";
    return nullptr;
  }
  if (!makeCompositorKeyboard(*c, *keymap, why)) return nullptr;
  // A compositor that refuses the keyboard says so with an error that ends the connection.
  if (!roundTrip(display_, Clock::now() + kPatience, stopFd)) {
    why = "the Wayland compositor " + c->compositor + " refused a virtual keyboard";
    return nullptr;
  }
  pollfd stop{stopFd, POLLIN, 0};
  ::poll(&stop, 1, static_cast<int>(kNewKeyboardSettle.count()));
  return c;
}

// Reads the compositor's events until the connection ends, and sends on what a press left
// unsent for want of room.
std::string WaylandKeyboard::State::watch(Connection& c) {
  wl_display* d = c.display;
  const std::string lost = "lost the connection to the Wayland compositor " + c.compositor;
  while (!stopping) {
    while (wl_display_prepare_read(d) != 0) {
      if (wl_display_dispatch_pending(d) < 0) return lost;
    }
    const bool unsent = wl_display_flush(d) < 0;
    if (unsent && errno != EAGAIN) {
      wl_display_cancel_read(d);
      return lost;
    }
    const short events = static_cast<short>(POLLIN | (unsent ? POLLOUT : 0));
    std::array<pollfd, 3> fds{
        {{wl_display_get_fd(d), events, 0}, {stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}}};
    ::poll(fds.data(), fds.size(), -1);
    eventfd_t woken = 0;
    eventfd_read(wakeFd, &woken);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (wl_display_read_events(d) < 0) return lost;
    } else {
      wl_display_cancel_read(d);
    }
    if (wl_display_dispatch_pending(d) < 0) return lost;
  }
  return {};
}

void WaylandKeyboard::State::setCurrent(Connection* c) {
  std::lock_guard lock(pressMutex);
  current = c;
  usable = c != nullptr;
}

// `why` empty: typing works (again).
void WaylandKeyboard::State::report(const std::string& why, const std::string& compositor) {
  std::lock_guard lock(mutex);
  if (stopping) return;
  if (why.empty()) {
    diagnose("keyboard", "typing through the compositor's virtual keyboard (" + compositor + ")");
  } else if (why != problem) {
    // Said once per new reason: the retries would otherwise flood the log.
    diagnose("keyboard", "Wayland virtual keyboard unavailable: " + why);
  }
  problem = why;
}

bool WaylandKeyboard::State::standingBy() {
  std::lock_guard lock(mutex);
  return !stopping && standby && standby();
}

WaylandKeyboard::WaylandKeyboard(std::string display, std::function<bool()> standby)
    : state_(std::make_shared<State>(std::move(display), std::move(standby))) {
  keeper_ = std::thread([state = state_] { state->run(); });
  if (state_->standingBy()) return;
  // The launch check comes right after this: give a compositor that answers time to do so.
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, kFirstKeyboard, [this] { return state_->attempts > 0; });
}

WaylandKeyboard::~WaylandKeyboard() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.stopping = true;
  eventfd_write(s.stopFd, 1);
  if (s.changed.wait_for(lock, kKeeperExit, [&s] { return s.exited; })) {
    lock.unlock();
    keeper_.join();
  } else {
    keeper_.detach();  // it holds the state itself
  }
}

bool WaylandKeyboard::usable() const {
  return state_->usable.load(std::memory_order_acquire);
}

bool WaylandKeyboard::press(std::uint16_t evdevCode, bool shift) {
  State& s = *state_;
  std::lock_guard lock(s.pressMutex);
  Connection* c = s.current;
  if (!c || !s.usable) return false;
  // Only into an empty buffer: a press then fits whole, and is never sent in part.
  if (wl_display_flush(c->display) < 0) {
    if (errno != EAGAIN) s.usable = false;
    eventfd_write(s.wakeFd, 1);
    return false;
  }
  queuePress(*c, *s.keymap, evdevCode, shift);
  if (wl_display_flush(c->display) >= 0) return true;
  // Without room the press waits whole in the buffer, and the keeper sends it on.
  const bool queued = errno == EAGAIN;
  if (!queued) s.usable = false;
  eventfd_write(s.wakeFd, 1);
  return queued;
}

std::string WaylandKeyboard::problem() const {
  std::lock_guard lock(state_->mutex);
  return state_->problem;
}

}  // namespace trovik
