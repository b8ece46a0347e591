#include "platform/linux/keyboard/xtest_keyboard.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"
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

struct XTestKeyboard::State {
  State(std::string display_, std::function<bool()> standby_)
      : display(std::move(display_)),
        name(XConnection::nameOf(display)),
        standby(std::move(standby_)) {}
  ~State() {
    ::close(stopFd);
    ::close(probeFd);
  }

  void run();
  std::string watch(XConnection& c);
  bool roundTrip(XConnection& c);
  void setCurrent(XConnection* c);
  void stalled();
  void report(const std::string& why);
  bool standingBy();
  // Sleeps for `time`, less when stopping or when `fd` or `also` has something to read.
  void pause(Clock::duration time, int fd = -1, int also = -1) const;

  const std::string display;
  const std::string name;
  const std::function<bool()> standby;
  const int stopFd = eventfd(0, EFD_CLOEXEC);  // readable once stopping
  // Readable when a press found no room: the keeper then tells a busy server from a stalled
  // one at once, so that no press has to wait to find out.
  const int probeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> stopping{false};
  std::atomic<bool> usable{false};  // a connection is there and its server answers

  std::mutex pressMutex;  // one press, or probe, at a time; guards `current`
  XConnection* current = nullptr;

  mutable std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  std::string problem;
  int attempts = 0;  // that have ended
  bool exited = false;
};

void XTestKeyboard::State::run() {
  // A probe written as the server goes away must not end the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (auto nextAttempt = Clock::now(); !stopping;) {
    const auto now = Clock::now();
    if (now < nextAttempt || standingBy()) {
      pause(now < nextAttempt ? nextAttempt - now : Clock::duration(kProbeInterval));
      continue;
    }
    nextAttempt = now + kRetryInterval;
    std::string why;
    auto connection = XConnection::open(display, why);
    {
      // Counted before access shows: whoever sees access also sees the attempt that gave it.
      std::lock_guard press(pressMutex);
      current = connection.get();
      std::lock_guard lock(mutex);
      ++attempts;
      usable = connection != nullptr;
      changed.notify_all();
    }
    report(why);
    if (!connection) continue;
    why = watch(*connection);
    setCurrent(nullptr);
    report(why);
  }
  std::lock_guard lock(mutex);
  exited = true;
  changed.notify_all();
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

// `why` empty: typing works (again).
void XTestKeyboard::State::report(const std::string& why) {
  std::lock_guard lock(mutex);
  if (stopping) return;
  if (why.empty()) {
    diagnose("keyboard", "typing through XTest on the X display " + name);
  } else if (why != problem) {
    // Said once per new reason: the retries would otherwise flood the log.
    diagnose("keyboard", "XTest unavailable: " + why);
  }
  problem = why;
}

bool XTestKeyboard::State::standingBy() {
  // Under the lock that the destructor takes to stop: `standby` is never asked after that.
  std::lock_guard lock(mutex);
  return !stopping && standby && standby();
}

void XTestKeyboard::State::pause(Clock::duration time, int fd, int also) const {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(time, Clock::duration{}));
  // poll skips fd -1
  std::array<pollfd, 3> fds{{{stopFd, POLLIN, 0}, {fd, POLLIN, 0}, {also, POLLIN, 0}}};
  ::poll(fds.data(), fds.size(), static_cast<int>(ms.count()));
}

XTestKeyboard::XTestKeyboard(std::string display, std::function<bool()> standby)
    : state_(std::make_shared<State>(std::move(display), std::move(standby))) {
  keeper_ = std::thread([state = state_] { state->run(); });
  if (state_->standingBy()) return;
  // The launch check comes right after this: give a server that answers time to do so.
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, kFirstConnection, [this] { return state_->attempts > 0; });
}

XTestKeyboard::~XTestKeyboard() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.stopping = true;
  eventfd_write(s.stopFd, 1);
  // A keeper inside xcb_connect waits for a server that may never answer. It holds the state
  // itself and ends once the server answers or the process ends.
  if (s.changed.wait_for(lock, kKeeperExit, [&s] { return s.exited; })) {
    lock.unlock();
    keeper_.join();
  } else {
    keeper_.detach();
  }
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
