#include "platform/linux/wayland/wayland_keyboard.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/linux/keyboard/keeper.hpp"
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

struct WaylandKeyboard::State : KeeperState {
  State(std::string display_, std::function<bool()> standby_)
      : KeeperState(std::move(standby_)), display(std::move(display_)) {}
  ~State() { ::close(wakeFd); }

  void attempt();
  std::unique_ptr<Connection> connect(std::string& why);
  std::string watch(Connection& c);
  void report(const std::string& why, const std::string& compositor) {
    KeeperState::report(why,
                        "typing through the compositor's virtual keyboard (" + compositor + ")",
                        "Wayland virtual keyboard unavailable");
  }

  const std::string display;
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // a press left requests unsent
  std::optional<UsKeymap> keymap;                             // the keeper's
  Connection* current = nullptr;                              // under pressMutex
};

void WaylandKeyboard::State::attempt() {
  std::string why;
  auto connection = connect(why);
  {
    std::lock_guard press(pressMutex);
    current = connection.get();
    attempted(connection != nullptr);
  }
  if (!connection) return report(why, "");
  report("", connection->compositor);
  why = watch(*connection);
  {
    std::lock_guard press(pressMutex);
    current = nullptr;
    usable = false;
  }
  report(why, connection->compositor);
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
  pause(kNewKeyboardSettle);
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

WaylandKeyboard::WaylandKeyboard(std::string display, std::function<bool()> standby)
    : state_(std::make_shared<State>(std::move(display), std::move(standby))),
      keeper_(startKeeper(
          state_, [state = state_] { state->run(kRetryInterval, [&] { state->attempt(); }); },
          kFirstKeyboard)) {}

WaylandKeyboard::~WaylandKeyboard() {
  stopKeeper(*state_, keeper_, kKeeperExit);
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
