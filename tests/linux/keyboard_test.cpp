// The keyboard backends. uinput on a pipe that stands in for its device: what a press writes,
// and what a write that fails part-way leaves behind. XTest against a private Xvfb server
// with a focused window that records keys: whole presses from many threads, and a server
// that goes away or stops answering.

#include <linux/input.h>

#include <algorithm>
#include <map>

#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "platform/linux/keyboard/uinput_keyboard.hpp"
#include "platform/linux/keyboard/xtest_keyboard.hpp"
#include "support/test_environment.hpp"
#include "support/x_key_recorder.hpp"
#include "support/xvfb_server.hpp"

namespace trovik {

using Record = std::tuple<int, int, int>;  // type, code, value

// A virtual keyboard whose device file is a pipe. `take` says how many bytes of a write the
// device takes: fewer than all refuses the rest, -1 fails with EIO.
struct PipeDevice {
  std::function<ssize_t(std::size_t)> take = [](std::size_t size) { return ssize_t(size); };
  test::Pipe pipe;
  UinputKeyboard keyboard{[this](std::string&) {
                            fcntl(pipe.read, F_SETFL, O_NONBLOCK);
                            return UinputDevice::adopt(
                                std::exchange(pipe.write, -1),
                                [this](int fd, const void* data, std::size_t size) {
                                  const ssize_t taken = take(size);
                                  errno = EIO;
                                  return taken < 0 ? taken : ::write(fd, data, taken);
                                });
                          },
                          std::chrono::hours(1)};

  // What the device received so far, and whether it has been closed since: closing it makes
  // the kernel remove the device and release its keys.
  std::pair<std::vector<Record>, bool> received() {
    std::vector<Record> records;
    ssize_t size;
    for (input_event e; (size = ::read(pipe.read, &e, sizeof e)) == sizeof e;)
      records.emplace_back(e.type, e.code, e.value);
    return {records, size == 0};
  }
};

TEST(UinputKeyboard, TheDeviceIsAKeyboardAndEachPressIsOneWriteOfItsRecords) {
  // udev takes a device for a keyboard only with every key from Esc to S; on to Shift.
  const auto keys = evdevKeysDeclared();
  for (int code = KEY_ESC; code <= KEY_LEFTSHIFT; ++code)
    EXPECT_EQ(std::ranges::count(keys, code), 1) << code;
  PipeDevice device;
  std::vector<std::size_t> writes;
  device.take = [&](std::size_t size) { return ssize_t(writes.emplace_back(size)); };
  EXPECT_TRUE(device.keyboard.press(KEY_SPACE, false));
  EXPECT_TRUE(device.keyboard.press(KEY_1, true));
  const Record syn{EV_SYN, SYN_REPORT, 0};
  const auto key = [](int code, int value) { return Record{EV_KEY, code, value}; };
  EXPECT_EQ(device.received().first,
            (std::vector{key(KEY_SPACE, 1), syn, key(KEY_SPACE, 0), syn, key(KEY_LEFTSHIFT, 1), syn,
                         key(KEY_1, 1), syn, key(KEY_1, 0), syn, key(KEY_LEFTSHIFT, 0), syn}));
  EXPECT_EQ(writes, (std::vector<std::size_t>{4 * sizeof(input_event), 8 * sizeof(input_event)}));
}

TEST(UinputKeyboard, APressBrokenOffAtAnyRecordLeavesNoKeyDown) {
  for (std::size_t taken = 0; taken < 8; ++taken) {
    for (const bool releasable : {true, false}) {
      SCOPED_TRACE(::testing::Message() << taken << " records taken, releasable " << releasable);
      PipeDevice device;
      int calls = 0;
      device.take = [&](std::size_t size) -> ssize_t {
        if (calls++ == 0) return taken == 0 ? -1 : ssize_t(taken * sizeof(input_event));
        return releasable ? ssize_t(size) : -1;
      };
      EXPECT_FALSE(device.keyboard.press(KEY_A, true));
      const auto [records, closed] = device.received();
      std::map<int, int> last;  // of each key
      for (const auto& [type, code, value] : records) last[code] = type == EV_KEY ? value : 0;
      const bool down = std::ranges::any_of(last, [](const auto& key) { return key.second; });
      EXPECT_FALSE(releasable && down) << ::testing::PrintToString(records);
      EXPECT_TRUE(closed);  // given up either way
      EXPECT_FALSE(device.keyboard.usable());
    }
  }
}

using namespace std::chrono_literals;
using testing::SeenKey;

// The display number is far from those that servers pick for themselves, so that none takes
// it while the test has its server stopped.
struct XTestFixture : ::testing::Test {
  void SetUp() override {
    const std::string error = serve(1000 + getpid() % 30000);
    TROVIK_REQUIRE_ENVIRONMENT(error.empty(), error);
    xtest = std::make_unique<XTestKeyboard>(server->display());
  }
  // An X server on `display` with a focused window that records keys; why not, if not.
  std::string serve(int display) {
    std::string error;
    server = testing::XvfbServer::start(error, display);
    if (server) recorder = testing::XKeyRecorder::open(server->display(), error);
    return server && recorder ? "" : "needs Xvfb and a window on it: " + error;
  }
  bool accessWithin(bool wanted, std::chrono::milliseconds limit) {
    return test::waitUntil([&] { return xtest->usable() == wanted; }, limit);
  }

  std::unique_ptr<testing::XvfbServer> server;
  std::unique_ptr<testing::XKeyRecorder> recorder;
  std::unique_ptr<XTestKeyboard> xtest;
};

TEST_F(XTestFixture, PressesFromManyThreadsArriveWholeWithShiftOnlyAroundShiftedOnes) {
  // A press that finds the server busy is not made: exactly those said to be made arrive.
  std::atomic<std::size_t> events = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {  // A S D F with Shift, 1 2 3 4 without, in turn
      for (int i = 0; i < 200; ++i) {
        if (xtest->press(i % 2 ? KEY_1 + t : KEY_A + t, i % 2 == 0)) events += i % 2 ? 2 : 4;
      }
    });
  for (auto& thread : threads) thread.join();
  ASSERT_GT(events, 0u);
  const auto seen = recorder->takeAll(events, 20s);
  ASSERT_EQ(seen.size(), events.load());
  EXPECT_TRUE(recorder->take(1, 200ms).empty());
  // Whole presses one after another, each of the key it starts with: letters with Shift.
  std::vector<SeenKey> whole;
  for (std::size_t i = 0; i < seen.size(); i = whole.size()) {
    const bool shifted = seen[i].keycode == testing::kShiftL;
    const SeenKey& key = seen.at(i + shifted);
    const int first = shifted ? KEY_A + 8 : KEY_1 + 8;
    ASSERT_TRUE(key.keycode >= first && key.keycode < first + 4) << key;
    testing::addPress(whole, key.keycode, shifted);
  }
  EXPECT_EQ(seen, whole);
}

TEST_F(XTestFixture, AServerThatEndsOrStopsRevokesAccessAtOnceAndHoldsUpNoPress) {
  server->stop();
  EXPECT_TRUE(accessWithin(false, 1s));
  // Without a server, one try per retry interval however often access is asked for: the
  // first connection was made at start, the next try 2 s after it.
  EXPECT_FALSE(accessWithin(true, 2500ms));
  EXPECT_EQ(xtest->connectAttempts(), 2);
  ASSERT_EQ(serve(server->number()), "");
  EXPECT_TRUE(accessWithin(true, 3s));
  EXPECT_EQ(xtest->connectAttempts(), 3);

  // Presses fill the stopped server's socket; those that find no room are not made, at once.
  server->signal(SIGSTOP);
  std::size_t made = 0;
  for (const auto end = std::chrono::steady_clock::now() + 3s;
       xtest->usable() && std::chrono::steady_clock::now() < end;) {
    const auto start = std::chrono::steady_clock::now();
    made += xtest->press(KEY_A, true);
    ASSERT_LT(std::chrono::steady_clock::now() - start, 100ms) << "press " << made;
  }
  EXPECT_FALSE(xtest->usable());

  // The server goes on and types what it holds, whole presses only, and exactly those said to
  // be made: nothing stays down, so an unshifted z comes after them.
  server->signal(SIGCONT);
  ASSERT_TRUE(accessWithin(true, 3s));
  xtest->press(KEY_Z, false);
  std::vector<SeenKey> seen;
  while (seen.empty() || seen.back() != SeenKey{false, KEY_Z + 8, false}) {
    const auto next = recorder->take(1, 5s);
    ASSERT_EQ(next.size(), 1u) << "no unshifted z after " << ::testing::PrintToString(seen);
    seen.push_back(next[0]);
  }
  EXPECT_EQ(seen.size(), 4 * made + 2);

  // Stopped while nobody types: the probe finds out. A keyboard made now waits inside
  // xcb_connect for the server, which holds up neither its making nor its end for long.
  server->signal(SIGSTOP);
  EXPECT_TRUE(accessWithin(false, 1500ms));
  const auto start = std::chrono::steady_clock::now();
  XTestKeyboard(server->display()).press(KEY_A, false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  server->signal(SIGCONT);
  EXPECT_TRUE(accessWithin(true, 2s));
  EXPECT_EQ(xtest->connectAttempts(), 3);  // a stopped server is not connected to again
}

}  // namespace trovik
