// The screen lock as logind tells it: the LockedHint of the agent's own login session, read at
// start and followed as it changes, with a stand-in logind on a private bus.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <cstdlib>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/linux/desktop/logind_screen_lock.hpp"
#include "platform/linux/desktop/session_bus.hpp"
#include "support/fake_logind.hpp"
#include "support/mailbox.hpp"
#include "support/private_bus.hpp"
#include "support/test_environment.hpp"

namespace trovik {
namespace {

using testing::FakeLogind;
using namespace std::chrono_literals;

// A screen lock served by a main loop on a thread of its own, as the agent serves it; records
// locked() at each onChange, and the lines written about logind.
class Agent {
 public:
  explicit Agent(const std::string& systemBus) {
    if (::pipe2(lines_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("no pipe");
    lock_.emplace(
        context_, systemBus,
        [this] {
          EXPECT_EQ(std::this_thread::get_id(), loopThread_.load());
          const bool locked = lock_->locked();
          if (releaseOnChange) lock_.reset();  // a caller that goes in its own callback
          changes.put(locked);
        },
        lines_[1]);
    loop_ = std::thread([this] {
      loopThread_ = std::this_thread::get_id();
      context_.run();
    });
  }
  ~Agent() {
    onLoop([this] { lock_.reset(); });  // where the agent releases it
    work_.reset();
    loop_.join();
    for (int fd : lines_) ::close(fd);
  }

  bool locked() const { return lock_->locked(); }
  // Twice round the loop: a call of onChange that the loop's current task posts runs first.
  void onLoop(std::function<void()> task) {
    std::promise<void> done;
    asio::post(context_, [&] { asio::post(context_, [&] { task(), done.set_value(); }); });
    done.get_future().wait();
  }
  // The lines so far, once there are `count` or the patience is spent.
  std::vector<std::string> lines(std::size_t count) {
    test::waitUntil([&] {
      for (char c; ::read(lines_[0], &c, 1) == 1;) text_.push_back(c);
      return std::count(text_.begin(), text_.end(), '\n') >= std::ptrdiff_t(count);
    });
    std::vector<std::string> lines;
    std::istringstream in(text_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  test::Mailbox<bool> changes;
  std::atomic<bool> releaseOnChange{false};

 private:
  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_{context_.get_executor()};
  std::atomic<std::thread::id> loopThread_;
  int lines_[2] = {-1, -1};
  std::string text_;
  std::optional<LogindScreenLock> lock_;
  std::thread loop_;
};

// What any other client of the bus may do: send logind's signals to every connection on it,
// saying that the session is unlocked and that logind has gone. Returns once the bus has
// passed them on: it handles one client's messages in order.
void pretendToBeLogind(const std::string& address, const std::string& sessionPath) {
  sd_bus* bus = nullptr;
  char** names = nullptr;
  ASSERT_GE(openSessionBus(address, &bus), 0);
  ASSERT_GE(sd_bus_list_names(bus, &names, nullptr), 0);
  for (char** name = names; *name; std::free(*name++)) {
    sd_bus_message *unlocked = nullptr, *gone = nullptr;
    if (**name != ':') continue;
    sd_bus_message_new_signal(bus, &unlocked, sessionPath.c_str(),
                              "org.freedesktop.DBus.Properties", "PropertiesChanged");
    sd_bus_message_append(unlocked, "sa{sv}as", "org.freedesktop.login1.Session", 1, "LockedHint",
                          "b", 0, 0);
    sd_bus_message_new_signal(bus, &gone, "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameOwnerChanged");
    sd_bus_message_append(gone, "sss", "org.freedesktop.login1", ":1.1", "");
    for (sd_bus_message* m : {unlocked, gone}) {
      EXPECT_GE(sd_bus_message_set_destination(m, *name), 0);
      EXPECT_GE(sd_bus_send(bus, m, nullptr), 0);
      sd_bus_message_unref(m);
    }
  }
  std::free(names);
  EXPECT_GE(sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetId", nullptr, nullptr, ""),
            0);
  sd_bus_flush_close_unref(bus);
}

std::string noLogind(const std::string& why) {
  return "trovik-helper: screen lock: cannot follow the screen lock (logind: " + why +
         "); keys are typed while it is locked too";
}

TEST(ScreenLock, FollowsTheLockedHintOfItsOwnSessionAndCallsOncePerChange) {
  std::string error;
  auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  auto logind = FakeLogind::start(bus->address(), {.locked = true}, error);
  ASSERT_TRUE(logind) << error;
  Agent agent(bus->address());
  EXPECT_TRUE(test::waitUntil([&] { return agent.locked(); }));
  // On a slow machine the first answer may come after construction: a change like any other.
  agent.onLoop([] {});
  while (agent.changes.take(0ms)) {
  }

  // Each announcement as logind makes it; a value that stays the same is no change, however
  // it comes. A call for one would come out ahead of the next real change's.
  using Announce = FakeLogind::Announce;
  const std::pair<bool, Announce> steps[] = {
      {false, Announce::value},
      {false, Announce::value},
      {true, Announce::invalidation},
      {true, Announce::invalidation},
  };
  bool last = true;
  for (const auto& [locked, announce] : steps) {
    logind->setLocked(locked, announce);
    if (locked != last) {
      EXPECT_EQ(agent.changes.take(), locked);
    }
    last = locked;
  }
  // Only logind's own connection, and the bus itself, speak for them. Once the agent reads the
  // property again, it has taken in what came before.
  const std::size_t reads = logind->reads();
  pretendToBeLogind(bus->address(), logind->sessionPath());
  logind->setLocked(true, Announce::invalidation);
  EXPECT_TRUE(test::waitUntil([&] { return logind->reads() > reads; }));
  agent.onLoop([] {});
  EXPECT_EQ(agent.changes.take(std::chrono::milliseconds(0)), std::nullopt);
  logind->setLocked(false);
  EXPECT_EQ(agent.changes.take(), false);
  agent.onLoop([] {});
  EXPECT_EQ(agent.changes.take(std::chrono::milliseconds(0)), std::nullopt);
  EXPECT_FALSE(agent.locked());
  EXPECT_TRUE(agent.lines(0).empty());
}

// A variable set for one test.
struct Environment {
  Environment(const char* name, const std::string& value) : name(name) {
    if (const char* before = ::getenv(name)) old = before;
    ::setenv(name, value.c_str(), 1);
  }
  ~Environment() { old ? (void)::setenv(name, old->c_str(), 1) : (void)::unsetenv(name); }
  const char* name;
  std::optional<std::string> old;
};

TEST(ScreenLock, WithoutLogindKeysAreTypedUntilOneComesAndFindsTheSessionOfXdgSessionId) {
  std::string error;
  auto bus = testing::PrivateBus::start(error);
  TROVIK_REQUIRE_ENVIRONMENT(bus, "needs dbus-daemon: " + error);
  Environment systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus->address());
  Environment session("XDG_SESSION_ID", "c3");
  Agent agent("");  // the system bus, wherever sd-bus finds it

  EXPECT_EQ(agent.lines(1),
            std::vector{noLogind("org.freedesktop.login1 is not on the system bus")});
  EXPECT_FALSE(agent.locked());
  {
    // Started by a user service, outside any session: only the session's id finds it.
    auto logind = FakeLogind::start(bus->address(),
                                    {.id = "c3", .locked = true, .holdsCaller = false}, error);
    ASSERT_TRUE(logind) << error;
    EXPECT_EQ(agent.changes.take(), true);
    agent.releaseOnChange = true;
  }
  EXPECT_EQ(agent.changes.take(), false);
  EXPECT_EQ(agent.lines(2),
            (std::vector{noLogind("org.freedesktop.login1 is not on the system bus"),
                         noLogind("org.freedesktop.login1 left the system bus")}));
  agent.onLoop([] {});
  EXPECT_EQ(agent.changes.take(std::chrono::milliseconds(0)), std::nullopt);
}

}  // namespace
}  // namespace trovik
