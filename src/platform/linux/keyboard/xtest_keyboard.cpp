#include "platform/linux/keyboard/xtest_keyboard.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "platform/linux/keyboard/keeper.hpp"
#include "platform/linux/keyboard/x_connection.hpp"

namespace trovik {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kProbeInterval = 1s;
// A server that takes longer to answer, or to make room for a press, counts as stopped:
// every tablet's keys would wait on it.
constexpr auto kPatience = 250ms;
// How often the keeper looks for its probe's reply, which a pressing thread may have read.
constexpr auto kReplyPoll = 20ms;
constexpr auto kFirstConnection = 1s;
// Long enough for a keeper that waits on a socket (kPatience at most) to see it should end.
constexpr auto kKeeperExit = 300ms;

void fakeKey(xcb_connection_t* c, std::uint16_t evdevCode, bool down) {
  xcb_test_fake_input(c, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE,
                      static_cast<std::uint8_t>(evdevCode + kEvdevToX), XCB_CURRENT_TIME, XCB_NONE,
                      0, 0, 0);
}

}  // namespace

struct XTestKeyboard::State : KeeperState {
  State(std::string display_, std::function<bool()> standby_)
      : KeeperState(std::move(standby_)),
        display(std::move(display_)),
        name(XConnection::nameOf(display)) {}
  ~State() { ::close(probeFd); }

  void attempt();
  std::string watch(XConnection& c);
  bool roundTrip(XConnection& c);
  void setCurrent(XConnection* c);
  void stalled();
  void report(const std::string& why) {
    KeeperState::report(why, "typing through XTest on the X display " + name, "XTest unavailable");
  }

  const std::string display;
  const std::string name;
  // Readable when a press found no room: the keeper then tells a busy server from a stalled
  // one at once, so that no press has to wait to find out.
  const int probeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  XConnection* current = nullptr;  // under pressMutex, which a probe takes too
};

void XTestKeyboard::State::attempt() {
  std::string why;
  auto connection = XConnection::open(display, why);
  {
    std::lock_guard press(pressMutex);
    current = connection.get();
    attempted(connection != nullptr);
  }
  report(why);
  if (!connection) return;
  why = watch(*connection);
  setCurrent(nullptr);
  report(why);
}

// Probes the server about every second until the connection ends. A server that leaves a
// probe unanswered for 250 ms, or a press no room, is not dropped but waited for: closing the
// socket would let it act on part of the requests still queued, such as a Shift press without
// its release.
std::string XTestKeyboard::State::watch(XConnection& c) {
  auto nextProbe = Clock::now() + kProbeInterval;
  while (!stopping) {
    pause(nextProbe - Clock::now(), c.fd(), probeFd);
    if (!c.alive()) return "lost the connection to the X display " + name;
    eventfd_t asked = 0;
    if (stopping || (Clock::now() < nextProbe && eventfd_read(probeFd, &asked) != 0)) continue;
    nextProbe = Clock::now() + kProbeInterval;
    if (!roundTrip(c)) {
      stalled();
    } else if (!usable.exchange(true)) {
      report("");
    }
  }
  return {};
}

// Whether the server answers a request within kPatience. It goes between presses: one in
// progress, which finds out as much, defers it.
bool XTestKeyboard::State::roundTrip(XConnection& c) {
  // Waited for without the press lock: presses meanwhile find no room and give up at once.
  if (!c.waitWritable(kPatience)) return false;
  std::unique_lock press(pressMutex, std::try_to_lock);
  if (!press) return usable;
  if (!c.waitWritable(0ms)) return false;
  const unsigned probe = xcb_get_input_focus(c.get()).sequence;
  xcb_flush(c.get());
  press.unlock();
  for (const auto end = Clock::now() + kPatience; Clock::now() < end && !stopping;) {
    void* reply = nullptr;
    if (xcb_poll_for_reply(c.get(), probe, &reply, nullptr) && reply) {
      std::free(reply);
      return true;
    }
    // Not longer: a pressing thread may read the reply for us.
    pause(std::min<Clock::duration>(kReplyPoll, end - Clock::now()), c.fd());
  }
  xcb_discard_reply(c.get(), probe);
  return false;
}

void XTestKeyboard::State::setCurrent(XConnection* c) {
  std::lock_guard lock(pressMutex);
  current = c;
  usable = c != nullptr;
}

void XTestKeyboard::State::stalled() {
  if (usable.exchange(false)) report("the X display " + name + " stopped answering");
}

XTestKeyboard::XTestKeyboard(std::string display, std::function<bool()> standby)
    : state_(std::make_shared<State>(std::move(display), std::move(standby))),
      keeper_(startKeeper(
          state_, [state = state_] { state->run(kRetryInterval, [&] { state->attempt(); }); },
          kFirstConnection)) {}

// A keeper inside xcb_connect waits for a server that may never answer: it is left to end
// once the server answers or the process ends.
XTestKeyboard::~XTestKeyboard() {
  stopKeeper(*state_, keeper_, kKeeperExit);
}

bool XTestKeyboard::usable() const {
  return state_->usable.load(std::memory_order_acquire);
}

bool XTestKeyboard::press(std::uint16_t evdevCode, bool shift) {
  State& s = *state_;
  std::lock_guard lock(s.pressMutex);
  XConnection* c = s.current;
  if (!c || !s.usable) return false;
  // Without room a busy server is not waited for: the press is not made, and the keeper finds
  // out at once whether the server is only busy or has stopped.
  if (!c->waitWritable(0ms)) {
    eventfd_write(s.probeFd, 1);
    return false;
  }
  // With room the flush never blocks: the server gets the whole press.
  if (shift) fakeKey(c->get(), kEvdevLeftShift, true);
  fakeKey(c->get(), evdevCode, true);
  fakeKey(c->get(), evdevCode, false);
  if (shift) fakeKey(c->get(), kEvdevLeftShift, false);
  if (xcb_flush(c->get()) > 0) return true;
  s.stalled();  // the connection broke: unusable until the keeper has a working one
  return false;
}

std::string XTestKeyboard::problem() const {
  std::lock_guard lock(state_->mutex);
  return state_->problem;
}

int XTestKeyboard::connectAttempts() const {
  std::lock_guard lock(state_->mutex);
  return state_->attempts;
}

}  // namespace trovik
