#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/linux/keyboard/linux_keyboard.hpp"
#include "platform/linux/keyboard/uinput_keyboard.hpp"
#include "support/process.hpp"

namespace trovik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using Record = std::tuple<int, int, int>;  // type, code, value
Record key(int code, int value) {
  return {EV_KEY, code, value};
}
const Record kSyn{EV_SYN, SYN_REPORT, 0};

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
      fcntl(pipe.read, F_SETPIPE_SZ, 1 << 20);
      return UinputDevice::adopt(std::exchange(pipe.write, -1),
                                 [this](int fd, const void* data, std::size_t size) {
                                   const ssize_t taken = take(size);
                                   errno = EIO;
                                   return taken < 0 ? taken : ::write(fd, data, taken);
                                 });
    };
    return std::make_unique<UinputKeyboard>(make, retry);
  }
  // What the first device received so far; its time stays for the kernel to stamp.
  std::vector<Record> records() {
    std::vector<Record> records;
    for (input_event e; ::read(pipes[0]->read, &e, sizeof e) == sizeof e;) {
      EXPECT_EQ(e.input_event_sec + e.input_event_usec, 0u);
      records.emplace_back(e.type, e.code, e.value);
    }
    return records;
  }
  // Closing the device makes the kernel remove it and release its keys.
  bool closed() {
    char byte;
    return ::read(pipes[0]->read, &byte, 1) == 0;
  }
};

TEST(UinputKeyboard, EachPressIsOneWriteOfItsRecords) {
  PipeDevices devices;
  std::vector<std::size_t> writes;
  devices.take = [&](std::size_t size) { return ssize_t(writes.emplace_back(size)); };
  std::vector<std::unique_ptr<KeySink>> sinks;
  sinks.push_back(devices.keyboard());
  LinuxKeyboard keyboard(std::move(sinks), std::make_unique<NotificationPrompt>());
  ASSERT_TRUE(keyboard.isProcessTrusted());

  keyboard.press(49, false);  // Space
  keyboard.press(18, true);   // Shift+1
  keyboard.press(10, false);  // a position with no Linux key
  EXPECT_EQ(devices.records(), (std::vector{key(KEY_SPACE, 1), kSyn, key(KEY_SPACE, 0), kSyn,
                                            key(KEY_LEFTSHIFT, 1), kSyn, key(KEY_1, 1), kSyn,
                                            key(KEY_1, 0), kSyn, key(KEY_LEFTSHIFT, 0), kSyn}));
  EXPECT_EQ(writes, (std::vector<std::size_t>{4 * sizeof(input_event), 8 * sizeof(input_event)}));
}

TEST(UinputKeyboard, APressBrokenOffAtAnyRecordLeavesNoKeyDown) {
  for (std::size_t taken = 0; taken < 8; ++taken) {
    for (const bool releasable : {true, false}) {
      SCOPED_TRACE(std::to_string(taken) + " records taken, releasable " +
                   std::to_string(releasable));
      PipeDevices devices;
      int calls = 0;
      devices.take = [&](std::size_t size) -> ssize_t {
        if (calls++ == 0) return taken == 0 ? -1 : ssize_t(taken * sizeof(input_event));
        return releasable ? ssize_t(size) : -1;
      };
      auto keyboard = devices.keyboard();
      keyboard->press(KEY_A, true);
      const auto records = devices.records();
      std::map<int, int> down;
      for (const auto& [type, code, value] : records) down[code] = type == EV_KEY && value;
      std::erase_if(down, [](const auto& entry) { return !entry.second; });
      if (releasable) {
        EXPECT_TRUE(down.empty()) << ::testing::PrintToString(records);
      } else {
        EXPECT_EQ(records.size(), taken);
      }
      EXPECT_TRUE(devices.closed());  // given up either way
      EXPECT_FALSE(keyboard->usable());
    }
  }
}

TEST(UinputKeyboard, AFailedDeviceIsMadeAgainAtMostOncePerRetryInterval) {
  PipeDevices devices;
  devices.take = [](std::size_t) { return ssize_t(-1); };
  auto keyboard = devices.keyboard(100ms);
  for (const auto end = Clock::now() + 450ms; Clock::now() < end; std::this_thread::yield()) {
    if (keyboard->usable()) keyboard->press(KEY_A, false);
  }
  keyboard.reset();
  ASSERT_GE(devices.madeAt.size(), 2u) << "no new device after a failure";
  for (std::size_t i = 1; i < devices.madeAt.size(); ++i) {
    EXPECT_GE(devices.madeAt[i] - devices.madeAt[i - 1], 99ms) << i;
  }
}

}  // namespace
}  // namespace trovik
