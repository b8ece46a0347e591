#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/linux/keyboard/key_sink.hpp"
#include "platform/linux/keyboard/uinput_device.hpp"

namespace trovik {

// Presses written to a uinput virtual keyboard, each as one write of its input_event records.
// Works under Wayland and X alike. The device is made at construction and kept; one that
// fails is dropped (the kernel releases its keys) and made again in the background, at most
// once per retry interval. A new device counts as usable only once the desktop has had time
// to pick it up: construction waits for that, the background does for a device made again.
class UinputKeyboard final : public KeySink {
 public:
  // Makes a device, or returns null with the reason in `error`.
  using Opener = std::function<std::unique_ptr<UinputDevice>(std::string& error)>;

  explicit UinputKeyboard(Opener open, std::chrono::milliseconds retryInterval = kRetryInterval);
  // The virtual keyboard made through `path`, normally /dev/uinput.
  static std::unique_ptr<UinputKeyboard> onPath(std::string path);
  ~UinputKeyboard() override;
  UinputKeyboard(const UinputKeyboard&) = delete;
  UinputKeyboard& operator=(const UinputKeyboard&) = delete;

  bool usable() const override { return usable_.load(std::memory_order_acquire); }
  bool press(std::uint16_t evdevCode, bool shift) override;
  std::string problem() const override;

 private:
  void open();
  void keep();
  void breakOff(std::span<const input_event> applied);

  const Opener open_;
  const std::chrono::milliseconds retryInterval_;

  std::mutex writeMutex_;  // one press at a time; guards device_
  std::unique_ptr<UinputDevice> device_;
  std::atomic<bool> usable_{false};  // device_ is set

  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable lost_;
  std::string problem_;
  std::chrono::steady_clock::time_point lastAttempt_;
  bool stopping_ = false;
  std::thread keeper_;  // makes a new device once the current one is gone
};

}  // namespace trovik
