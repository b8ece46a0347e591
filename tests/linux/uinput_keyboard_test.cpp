// The uinput keyboard on pipes that stand in for its device: what a press writes, and what
// happens when a write fails part-way or the device keeps failing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/linux/keyboard/uinput_keyboard.hpp"
#include "support/process.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Record = std::tuple<int, int, int>;  // type, code, value

// Virtual keyboards whose device files are pipes. `take` says how many bytes of a write the
// device takes: fewer than all refuses the rest, -1 fails with EIO.
struct PipeDevices {
  std::function<ssize_t(std::size_t)> take = [](std::size_t size) { return ssize_t(size); };
  std::vector<std::unique_ptr<test::Pipe>> pipes;
  std::vector<Clock::time_point> madeAt;

  std::unique_ptr<UinputKeyboard> keyboard(std::chrono::milliseconds retry = 1h) {
    const auto make = [this](std::string&) {
      madeAt.push_back(Clock::now());
      auto& pipe = *pipes.emplace_back(std::make_unique<test::Pipe>());
      fcntl(pipe.read, F_SETFL, O_NONBLOCK);
      return UinputDevice::adopt(std::exchange(pipe.write, -1),
                                 [this](int fd, const void* data, std::size_t size) {
                                   const ssize_t taken = take(size);
                                   errno = EIO;
                                   return taken < 0 ? taken : ::write(fd, data, taken);
                                 });
    };
    return std::make_unique<UinputKeyboard>(make, retry);
  }
  // What the first device received so far, and whether it has been closed since: closing it
  // makes the kernel remove the device and release its keys.
  std::pair<std::vector<Record>, bool> received() {
    std::vector<Record> records;
    ssize_t size;
    for (input_event e; (size = ::read(pipes[0]->read, &e, sizeof e)) == sizeof e;)
      records.emplace_back(e.type, e.code, e.value);
    return {records, size == 0};
  }
};

TEST(UinputKeyboard, EachPressIsOneWriteOfItsRecords) {
  PipeDevices devices;
  std::vector<std::size_t> writes;
  devices.take = [&](std::size_t size) { return ssize_t(writes.emplace_back(size)); };
  auto keyboard = devices.keyboard();
  keyboard->press(KEY_SPACE, false);
  keyboard->press(KEY_1, true);
  const Record syn{EV_SYN, SYN_REPORT, 0};
  const auto key = [](int code, int value) { return Record{EV_KEY, code, value}; };
  EXPECT_EQ(devices.received().first,
            (std::vector{key(KEY_SPACE, 1), syn, key(KEY_SPACE, 0), syn, key(KEY_LEFTSHIFT, 1), syn,
                         key(KEY_1, 1), syn, key(KEY_1, 0), syn, key(KEY_LEFTSHIFT, 0), syn}));
  EXPECT_EQ(writes, (std::vector<std::size_t>{4 * sizeof(input_event), 8 * sizeof(input_event)}));
}

TEST(UinputKeyboard, APressBrokenOffAtAnyRecordLeavesNoKeyDown) {
  for (std::size_t taken = 0; taken < 8; ++taken) {
    for (const bool releasable : {true, false}) {
      SCOPED_TRACE(::testing::Message() << taken << " records taken, releasable " << releasable);
      PipeDevices devices;
      int calls = 0;
      devices.take = [&](std::size_t size) -> ssize_t {
        if (calls++ == 0) return taken == 0 ? -1 : ssize_t(taken * sizeof(input_event));
        return releasable ? ssize_t(size) : -1;
      };
      auto keyboard = devices.keyboard();
      keyboard->press(KEY_A, true);
      const auto [records, closed] = devices.received();
      std::map<int, int> last;  // of each key
      for (const auto& [type, code, value] : records) last[code] = type == EV_KEY ? value : 0;
      const bool down = std::ranges::any_of(last, [](const auto& key) { return key.second; });
      EXPECT_FALSE(releasable && down) << ::testing::PrintToString(records);
      EXPECT_TRUE(closed);  // given up either way
      EXPECT_FALSE(keyboard->usable());
    }
  }
}

TEST(UinputKeyboard, AFailedDeviceIsMadeAgainAtMostOncePerRetryInterval) {
  PipeDevices devices;
  devices.take = [](std::size_t) { return ssize_t(-1); };
  auto keyboard = devices.keyboard(100ms);
  for (const auto end = Clock::now() + 450ms; Clock::now() < end; std::this_thread::yield())
    if (keyboard->usable()) keyboard->press(KEY_A, false);
  keyboard.reset();
  ASSERT_GE(devices.madeAt.size(), 2u) << "no new device after a failure";
  for (std::size_t i = 1; i < devices.madeAt.size(); ++i)
    EXPECT_GE(devices.madeAt[i] - devices.madeAt[i - 1], 99ms) << i;
}

}  // namespace
}  // namespace trovik
