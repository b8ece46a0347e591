#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "fakes/fake_services.hpp"
#include "keys/key_posting.hpp"
#include "platform/linux/keyboard/keyboard_access.hpp"
#include "platform/linux/keyboard/sequenced_keyboard.hpp"
#include "platform/linux/keyboard/uinput_keyboard.hpp"
#include "support/child_process.hpp"

namespace trovik {
namespace {

using testing::Pipe;

struct Record {
  std::uint16_t type;
  std::uint16_t code;
  std::int32_t value;
  bool operator==(const Record&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Record& r) {
  return out << "{" << r.type << "," << r.code << "," << r.value << "}";
}

constexpr Record kSyn{EV_SYN, SYN_REPORT, 0};
Record down(std::uint16_t code) {
  return {EV_KEY, code, 1};
}
Record up(std::uint16_t code) {
  return {EV_KEY, code, 0};
}

constexpr KeyCode kMacA = 0, kMacOne = 18, kMacSpace = 49;

// Reads every whole input_event record available on `fd` (non-blocking), checking that the
// time stays for the kernel to stamp.
std::vector<Record> drain(int fd) {
  std::vector<Record> records;
  input_event event;
  while (::read(fd, &event, sizeof event) == ssize_t(sizeof event)) {
    EXPECT_EQ(event.input_event_sec, 0);
    EXPECT_EQ(event.input_event_usec, 0);
    records.push_back({event.type, event.code, event.value});
  }
  return records;
}

// A virtual keyboard whose device file is a pipe; each device made is a new pipe, whose
// write fails on the calls the test picks.
class PipeDevices {
 public:
  // Write calls (counted over all devices, from 0) that fail with EIO; from `deadFrom` on,
  // every write fails.
  std::vector<int> failingWrites;
  int deadFrom = -1;

  UinputKeyboard::Opener opener() {
    return [this](std::string&) {
      pipes.push_back(std::make_unique<Pipe>());
      Pipe& pipe = *pipes.back();
      fcntl(pipe.read, F_SETFL, O_NONBLOCK);
      const int fd = pipe.write;
      pipe.write = -1;  // the device owns it now
      return UinputDevice::adopt(fd, [this](int f, const void* data, std::size_t size) {
        const int call = writes++;
        if (std::find(failingWrites.begin(), failingWrites.end(), call) != failingWrites.end() ||
            (deadFrom >= 0 && call >= deadFrom)) {
          errno = EIO;
          return ssize_t(-1);
        }
        return ::write(f, data, size);
      });
    };
  }
  std::vector<Record> records(std::size_t device = 0) { return drain(pipes.at(device)->read); }
  // True once the device's file is closed: the kernel would have removed the device and
  // released its keys.
  bool closed(std::size_t device) {
    char byte;
    return ::read(pipes.at(device)->read, &byte, 1) == 0;
  }

  void reset() {
    failingWrites.clear();
    deadFrom = -1;
    pipes.clear();
    writes = 0;
  }

  std::vector<std::unique_ptr<Pipe>> pipes;
  std::atomic<int> writes{0};
};

struct ManualClock {
  std::atomic<std::int64_t> ms{0};
  SteadyClock clock() {
    return [this] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms)); };
  }
};

struct UinputFixture : ::testing::Test {
  void make() {
    access.reset();
    keyboard.reset();
    auto sink = std::make_unique<UinputKeyboard>(devices.opener(), time.clock());
    std::vector<std::unique_ptr<KeySink>> sinks;
    sinks.push_back(std::move(sink));
    keyboard = std::make_unique<SequencedKeyboard>(std::move(sinks));
    access = std::make_unique<KeyboardAccess>(*keyboard, std::make_unique<NotificationPrompt>());
  }
  void press(KeyCode code) { keys::postKey(code, *keyboard, *access, log); }
  void pressShifted(KeyCode code) { keys::postKeyWithShift(code, *keyboard, *access); }

  PipeDevices devices;
  ManualClock time;
  fakes::FakeLog log;
  std::unique_ptr<SequencedKeyboard> keyboard;
  std::unique_ptr<KeyboardAccess> access;
};

TEST_F(UinputFixture, PressesWriteExactlyTheirRecords) {
  make();
  ASSERT_TRUE(access->isProcessTrusted());

  press(kMacSpace);
  EXPECT_EQ(devices.records(), (std::vector{down(KEY_SPACE), kSyn, up(KEY_SPACE), kSyn}));

  pressShifted(kMacOne);
  EXPECT_EQ(devices.records(), (std::vector{down(KEY_LEFTSHIFT), kSyn, down(KEY_1), kSyn, up(KEY_1),
                                            kSyn, up(KEY_LEFTSHIFT), kSyn}));

  // A position with no Linux key gives no event and writes nothing.
  keyboard->press(10, false);
  EXPECT_TRUE(devices.records().empty());
  EXPECT_TRUE(log.lines().empty());
}

// The key state a reader of the stream ends up with: every key that is still down.
std::map<std::uint16_t, int> keysLeftDown(const std::vector<Record>& records) {
  std::map<std::uint16_t, int> state;
  for (const auto& r : records) {
    if (r.type == EV_KEY) state[r.code] = r.value;
  }
  std::erase_if(state, [](const auto& entry) { return entry.second == 0; });
  return state;
}

TEST_F(UinputFixture, AWriteFailingAnywhereInAShiftedPressLeavesNoKeyDown) {
  // A shifted press is 8 writes: Shift, SYN, key, SYN, key, SYN, Shift, SYN.
  for (int failing = 0; failing < 8; ++failing) {
    SCOPED_TRACE("write " + std::to_string(failing) + " fails");
    access.reset();
    keyboard.reset();
    devices.reset();
    devices.failingWrites = {failing};
    make();
    pressShifted(kMacA);
    const auto records = devices.records();
    EXPECT_TRUE(keysLeftDown(records).empty()) << ::testing::PrintToString(records);
    // A failed device is given up: it must not be written to with half a press behind it.
    EXPECT_TRUE(devices.closed(0));
    EXPECT_FALSE(access->isProcessTrusted());
  }
}

TEST_F(UinputFixture, AFailedKeyDownReleasesShiftAtOnce) {
  devices.failingWrites = {2};  // the key-down of the letter
  make();
  pressShifted(kMacA);
  EXPECT_EQ(devices.records(), (std::vector{down(KEY_LEFTSHIFT), kSyn, up(KEY_LEFTSHIFT), kSyn}));

  // When the device is gone for good, nothing more reaches it and it is closed, which makes
  // the kernel release Shift.
  access.reset();
  keyboard.reset();
  devices.reset();
  devices.deadFrom = 2;
  make();
  pressShifted(kMacA);
  EXPECT_EQ(devices.records(), (std::vector{down(KEY_LEFTSHIFT), kSyn}));
  EXPECT_TRUE(devices.closed(0));
}

TEST_F(UinputFixture, AFailedDeviceIsMadeAgainAtMostEvery2Seconds) {
  devices.failingWrites = {0};
  make();
  press(kMacSpace);  // fails: the device is dropped
  EXPECT_EQ(devices.pipes.size(), 1u);
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(access->isProcessTrusted());
  time.ms = 1999;
  EXPECT_FALSE(access->isProcessTrusted());
  EXPECT_EQ(devices.pipes.size(), 1u);

  time.ms = 2000;
  EXPECT_TRUE(access->isProcessTrusted());
  ASSERT_EQ(devices.pipes.size(), 2u);
  press(kMacSpace);
  EXPECT_EQ(devices.records(1), (std::vector{down(KEY_SPACE), kSyn, up(KEY_SPACE), kSyn}));
}

TEST_F(UinputFixture, ConcurrentPressesNeverTypeUnderAnotherPressesShift) {
  make();
  Pipe& pipe = *devices.pipes[0];
  fcntl(pipe.read, F_SETFL, 0);  // the reader blocks until the device closes
  std::vector<Record> stream;
  std::thread reader([&] {
    input_event event;
    while (::read(pipe.read, &event, sizeof event) == ssize_t(sizeof event)) {
      stream.push_back({event.type, event.code, event.value});
    }
  });
  // Each thread alternates a shifted letter and a plain digit of its own.
  const KeyCode letters[] = {0, 1, 2, 3}, digits[] = {18, 19, 20, 21};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        pressShifted(letters[t]);
        press(digits[t]);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  keyboard.reset();  // closes the device: the reader sees the end
  reader.join();

  ASSERT_EQ(stream.size(), 4u * 200 * (8 + 4));
  bool shift = false;
  int lettersInsideShift = 0;
  for (std::size_t i = 0; i < stream.size(); i += 2) {
    const Record& r = stream[i];
    ASSERT_EQ(r.type, EV_KEY) << i;
    ASSERT_EQ(stream[i + 1], kSyn) << i;
    if (r.code == KEY_LEFTSHIFT) {
      ASSERT_NE(shift, r.value == 1) << "Shift pressed twice or released twice at " << i;
      shift = r.value == 1;
      if (!shift) {
        EXPECT_EQ(lettersInsideShift, 2) << "one letter press per Shift, at " << i;
      }
      lettersInsideShift = 0;
    } else if (r.code >= KEY_1 && r.code <= KEY_0) {
      ASSERT_FALSE(shift) << "a digit typed under another press's Shift at " << i;
    } else {
      ASSERT_TRUE(shift) << "a shifted letter typed without Shift at " << i;
      ++lettersInsideShift;
    }
  }
  EXPECT_FALSE(shift);
}

TEST(UinputDevice, CreationFailsWithAReasonForTheUser) {
  std::string error;
  EXPECT_EQ(UinputDevice::create("/nonexistent/uinput", {}, error), nullptr);
  EXPECT_EQ(error, "/nonexistent/uinput is missing (the uinput module is not loaded)");
  // A file that is not a uinput device refuses the set-up.
  EXPECT_EQ(UinputDevice::create("/dev/null", {}, error), nullptr);
  EXPECT_EQ(error.rfind("cannot create a virtual keyboard on /dev/null: ", 0), 0u) << error;
}

}  // namespace
}  // namespace trovik
