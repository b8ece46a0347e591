#pragma once

#include <bitset>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/keyboard.hpp"
#include "platform/linux/keyboard/key_sink.hpp"

namespace trovik {

// Posts the core's keyboard events through the first usable sink, as evdev transitions.
//
// Shift is state of the whole device, shared by every thread that posts. A shifted press
// therefore holds Shift only between its own key-down and key-up: keys from other threads
// wait until that press is over, and a failure midway releases Shift. A key that is down
// stays on the sink it went to until it is released. Thread-safe.
class SequencedKeyboard final : public Keyboard {
 public:
  // `sinks` in order of preference.
  explicit SequencedKeyboard(std::vector<std::unique_ptr<KeySink>> sinks);

  void press(KeyCode key, bool shift) override;

  // Whether a key posted now would reach a device. Cheap; any thread.
  bool usable();
  // Why no sink is usable, one reason per sink; for the user.
  std::string problems() const;

 private:
  void post(KeyCode key, bool keyDown, bool shifted);
  void waitForShift(std::unique_lock<std::mutex>& lock);
  bool send(std::initializer_list<KeyTransition> group);
  void releaseHeldAndFail();

  const std::vector<std::unique_ptr<KeySink>> sinks_;
  std::mutex mutex_;  // guards everything below and serialises every emit
  std::condition_variable shiftReleased_;
  KeySink* active_ = nullptr;  // the sink of every key in held_
  std::bitset<256> held_;
  std::optional<std::thread::id> shiftOwner_;  // the thread inside a shifted press
  std::uint16_t ownerKey_ = 0;
};

}  // namespace trovik
