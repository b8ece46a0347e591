#include "platform/linux/keyboard/uinput_keyboard.hpp"

#include <array>
#include <vector>

#include "platform/linux/diagnostics.hpp"
#include "platform/linux/keyboard/evdev_key_codes.hpp"

namespace trovik {
namespace {

// The input_event records of at most one shifted press.
struct Records {
  std::array<input_event, 8> events{};  // the kernel stamps the time
  std::size_t size = 0;

  // A key going down or up, and the report that hands it to applications.
  void key(std::uint16_t code, bool down) {
    add(EV_KEY, code, down ? 1 : 0);
    add(EV_SYN, SYN_REPORT, 0);
  }
  void add(std::uint16_t type, std::uint16_t code, std::int32_t value) {
    input_event& event = events[size++];
    event.type = type;
    event.code = code;
    event.value = value;
  }
  std::span<const input_event> all() const { return {events.data(), size}; }
};

Records pressRecords(std::uint16_t code, bool shift) {
  Records records;
  if (shift) records.key(kEvdevLeftShift, true);
  records.key(code, true);
  records.key(code, false);
  if (shift) records.key(kEvdevLeftShift, false);
  return records;
}

// Releases whatever `applied` left down, last pressed first: Shift comes last.
Records releasesAfter(std::span<const input_event> applied) {
  std::vector<std::uint16_t> down;
  for (const auto& event : applied) {
    if (event.type != EV_KEY) continue;
    std::erase(down, event.code);
    if (event.value) down.push_back(event.code);
  }
  Records records;
  for (auto code = down.rbegin(); code != down.rend(); ++code) records.key(*code, false);
  return records;
}

}  // namespace

UinputKeyboard::UinputKeyboard(Opener open, std::chrono::milliseconds retryInterval)
    : open_(std::move(open)), retryInterval_(retryInterval) {
  lastAttempt_ = std::chrono::steady_clock::now();
  this->open();
  keeper_ = std::thread([this] { keep(); });
}

std::unique_ptr<UinputKeyboard> UinputKeyboard::onPath(std::string path) {
  return std::make_unique<UinputKeyboard>([path = std::move(path)](std::string& error) {
    return UinputDevice::create(path, evdevKeysDeclared(), error);
  });
}

UinputKeyboard::~UinputKeyboard() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    lost_.notify_one();
  }
  keeper_.join();
}

bool UinputKeyboard::press(std::uint16_t evdevCode, bool shift) {
  std::lock_guard lock(writeMutex_);
  if (!device_) return false;
  const Records records = pressRecords(evdevCode, shift);
  const std::size_t taken = device_->write(records.all());
  if (taken == records.size) return true;
  breakOff(records.all().first(taken));
  return false;
}

std::string UinputKeyboard::problem() const {
  std::lock_guard lock(mutex_);
  return problem_;
}

void UinputKeyboard::breakOff(std::span<const input_event> applied) {
  const std::string why = "the uinput device failed: " + device_->lastError();
  // Released while the device still takes writes; closing it releases whatever remains.
  const Records releases = releasesAfter(applied);
  if (releases.size > 0) device_->write(releases.all());
  device_.reset();
  usable_.store(false, std::memory_order_release);
  diagnose("keyboard", why + "; making a new one");
  std::lock_guard lock(mutex_);
  problem_ = why;
  lost_.notify_one();
}

void UinputKeyboard::open() {
  std::string error;
  auto device = open_(error);
  const bool made = device != nullptr;
  if (made) {
    // Keys written to a device the desktop has not picked up yet are lost.
    std::this_thread::sleep_until(device->readyAt());
    std::lock_guard lock(writeMutex_);
    device_ = std::move(device);
    usable_.store(true, std::memory_order_release);
  }
  std::lock_guard lock(mutex_);
  if (made) {
    problem_.clear();
    diagnose("keyboard",
             std::string("typing through the uinput device \"") + UinputDevice::kName + "\"");
  } else if (error != problem_) {
    // Said once per new reason: the retries would otherwise flood the log.
    diagnose("keyboard", "uinput unavailable: " + error);
    problem_ = error;
  }
}

void UinputKeyboard::keep() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto due = lastAttempt_ + retryInterval_;
    if (usable()) {
      lost_.wait(lock);
    } else if (std::chrono::steady_clock::now() < due) {
      lost_.wait_until(lock, due);
    } else {
      lastAttempt_ = std::chrono::steady_clock::now();
      lock.unlock();
      open();
      lock.lock();
    }
  }
}

}  // namespace trovik
