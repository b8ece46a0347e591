#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace trovik {

struct KeyTransition {
  std::uint16_t evdevCode;
  bool down;
  bool operator==(const KeyTransition&) const = default;
};

// What a sink managed to do with a group of transitions. `applied` counts those that changed
// the device's key state, even when the group as a whole did not get through.
struct EmitResult {
  std::size_t applied = 0;
  bool complete = false;
};

// Where key transitions end up: a uinput device, an X server. Called by one thread at a time
// (SequencedKeyboard serialises), except usable() and problem(), which any thread may ask.
class KeySink {
 public:
  virtual ~KeySink() = default;
  // Whether transitions can be sent now. Cheap; may try to reconnect, at most every 2 s.
  virtual bool usable() = 0;
  // Sends the transitions in order, each delivered to applications before the next.
  virtual EmitResult emit(std::span<const KeyTransition> transitions) = 0;
  // A group failed and its keys were released as far as possible: give up the device so
  // that nothing stays held, and answer unusable until it is back.
  virtual void failed() = 0;
  // Why the sink is unusable, for the user; empty when it is fine.
  virtual std::string problem() const = 0;
};

}  // namespace trovik
