#include "platform/linux/keyboard/sequenced_keyboard.hpp"

#include <chrono>

#include "platform/linux/keyboard/evdev_key_codes.hpp"
#include "platform/linux/stdout_log.hpp"

namespace trovik {
namespace {

// A shifted press posts its key-up right after its key-down; one that takes longer than
// this never will, and must not keep every other key waiting.
constexpr auto kShiftHoldLimit = std::chrono::seconds(1);

}  // namespace

SequencedKeyboard::SequencedKeyboard(std::vector<std::unique_ptr<KeySink>> sinks)
    : sinks_(std::move(sinks)) {}

void SequencedKeyboard::press(KeyCode key, bool shift) {
  post(key, true, shift);
  post(key, false, shift);
}

void SequencedKeyboard::post(KeyCode key, bool keyDown, bool shifted) {
  const auto code = evdevKeyCode(key);
  if (!code) return;
  const auto self = std::this_thread::get_id();

  std::unique_lock lock(mutex_);
  waitForShift(lock);
  const bool ownsShift = shiftOwner_ == self;
  if (ownsShift && !keyDown && *code == ownerKey_) {
    shiftOwner_.reset();
    shiftReleased_.notify_all();
    send({{*code, false}, {kEvdevLeftShift, false}});
  } else if (shifted && keyDown && !ownsShift) {
    if (send({{kEvdevLeftShift, true}, {*code, true}})) {
      shiftOwner_ = self;
      ownerKey_ = *code;
    }
  } else {
    // A plain event, or a shifted key-up whose key-down never got through.
    send({{*code, keyDown}});
  }
}

bool SequencedKeyboard::usable() {
  for (const auto& sink : sinks_) {
    if (sink->usable()) return true;
  }
  return false;
}

std::string SequencedKeyboard::problems() const {
  std::string text;
  for (const auto& sink : sinks_) {
    const std::string problem = sink->problem();
    if (problem.empty()) continue;
    if (!text.empty()) text += "; ";
    text += problem;
  }
  return text;
}

void SequencedKeyboard::waitForShift(std::unique_lock<std::mutex>& lock) {
  const auto self = std::this_thread::get_id();
  const auto free = [&] { return !shiftOwner_ || *shiftOwner_ == self; };
  if (shiftReleased_.wait_for(lock, kShiftHoldLimit, free)) return;
  diagnose("keyboard", "a shifted key press did not finish; releasing Shift");
  shiftOwner_.reset();
  shiftReleased_.notify_all();
  send({{ownerKey_, false}, {kEvdevLeftShift, false}});
}

bool SequencedKeyboard::send(std::initializer_list<KeyTransition> group) {
  if (held_.none()) {
    active_ = nullptr;
    for (const auto& sink : sinks_) {
      if (sink->usable()) {
        active_ = sink.get();
        break;
      }
    }
  }
  if (!active_) return false;
  const std::span<const KeyTransition> transitions(group.begin(), group.size());
  const EmitResult result = active_->emit(transitions);
  for (std::size_t i = 0; i < result.applied && i < transitions.size(); ++i) {
    held_.set(transitions[i].evdevCode, transitions[i].down);
  }
  if (result.complete) return true;
  releaseHeldAndFail();
  return false;
}

void SequencedKeyboard::releaseHeldAndFail() {
  // Release every key still down on the failing sink, Shift last, then let the sink give up
  // its device: a uinput device that goes away releases whatever is still held.
  std::vector<KeyTransition> release;
  for (std::size_t code = 0; code < held_.size(); ++code) {
    if (held_.test(code) && code != kEvdevLeftShift) {
      release.push_back({static_cast<std::uint16_t>(code), false});
    }
  }
  if (held_.test(kEvdevLeftShift)) release.push_back({kEvdevLeftShift, false});
  if (!release.empty()) active_->emit(release);
  active_->failed();
  held_.reset();
  active_ = nullptr;
}

}  // namespace trovik
