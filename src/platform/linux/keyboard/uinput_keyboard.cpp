#include "platform/linux/keyboard/uinput_keyboard.hpp"

#include <linux/input.h>

#include <thread>

#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "platform/linux/stdout_log.hpp"

namespace trovik {

UinputKeyboard::UinputKeyboard(Opener open, SteadyClock clock)
    : open_(std::move(open)), retry_(std::move(clock)) {
  std::lock_guard lock(mutex_);
  openLocked();
}

std::unique_ptr<UinputKeyboard> UinputKeyboard::onPath(std::string path, SteadyClock clock) {
  return std::make_unique<UinputKeyboard>(
      [path = std::move(path)](std::string& error) {
        return UinputDevice::create(path, evdevKeysDeclared(), error);
      },
      std::move(clock));
}

bool UinputKeyboard::usable() {
  if (present_.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(mutex_);
  if (!device_) openLocked();
  return device_ != nullptr;
}

void UinputKeyboard::openLocked() {
  if (!retry_.due()) return;
  std::string error;
  device_ = open_(error);
  if (device_) {
    settled_ = false;
    problem_.clear();
    diagnose("keyboard",
             std::string("typing through the uinput device \"") + UinputDevice::kName + "\"");
  } else if (error != problem_) {
    // Said once per new reason: the retries every 2 s would otherwise flood the log.
    diagnose("keyboard", "uinput unavailable: " + error);
    problem_ = error;
  }
  present_.store(device_ != nullptr, std::memory_order_release);
}

EmitResult UinputKeyboard::emit(std::span<const KeyTransition> transitions) {
  std::lock_guard lock(mutex_);
  EmitResult result;
  if (!device_) return result;
  if (!settled_) {
    std::this_thread::sleep_until(device_->readyAt());
    settled_ = true;
  }
  for (const auto& t : transitions) {
    if (!device_->write(EV_KEY, t.evdevCode, t.down ? 1 : 0)) return result;
    ++result.applied;
    if (!device_->write(EV_SYN, SYN_REPORT, 0)) return result;
  }
  result.complete = true;
  return result;
}

void UinputKeyboard::failed() {
  std::lock_guard lock(mutex_);
  if (!device_) return;
  problem_ = "the uinput device failed: " + device_->lastError();
  diagnose("keyboard", problem_ + "; making a new one");
  device_.reset();
  present_.store(false, std::memory_order_release);
}

std::string UinputKeyboard::problem() const {
  std::lock_guard lock(mutex_);
  return problem_;
}

}  // namespace trovik
