#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/keyboard/key_sink.hpp"
#include "platform/linux/retry_gate.hpp"
#include "platform/linux/keyboard/uinput_device.hpp"

namespace trovik {

// Key transitions written to a uinput virtual keyboard, each followed by SYN_REPORT. Works
// under Wayland and X alike. The device is made at construction and kept; one that fails is
// dropped (the kernel releases its keys) and made again, at most every 2 s.
class UinputKeyboard final : public KeySink {
 public:
  // Makes a device, or returns null with the reason in `error`.
  using Opener = std::function<std::unique_ptr<UinputDevice>(std::string& error)>;

  explicit UinputKeyboard(Opener open, SteadyClock clock = steadyNow);
  // The virtual keyboard made through `path`, normally /dev/uinput.
  static std::unique_ptr<UinputKeyboard> onPath(std::string path, SteadyClock clock = steadyNow);

  bool usable() override;
  // The first group on a new device waits until the desktop has picked the device up.
  EmitResult emit(std::span<const KeyTransition> transitions) override;
  void failed() override;
  std::string problem() const override;

 private:
  void openLocked();

  mutable std::mutex mutex_;
  Opener open_;
  RetryGate retry_;
  std::unique_ptr<UinputDevice> device_;
  std::atomic<bool> present_{false};  // device_ is set; read without the lock on every key
  bool settled_ = false;
  std::string problem_;
};

}  // namespace trovik
