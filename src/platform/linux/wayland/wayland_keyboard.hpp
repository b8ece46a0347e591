#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/linux/keyboard/key_sink.hpp"

namespace trovik {

// Presses sent through a wlroots compositor's virtual keyboard (zwp_virtual_keyboard_v1)
// with a US keymap, or KWin's fake input (org_kde_kwin_fake_input), each as one flush;
// Shift is the left Shift key held around the press.
//
// One keyboard is made per connection and kept: applications pick a new keyboard up late
// and lose its first keys. A keeper thread owns the connection: it makes it, at most once
// per retry interval, and reads the compositor's events; a compositor that ends is noticed
// at once, and typing resumes once it is back. A press never waits on the compositor: one
// that finds earlier requests still unsent is not made.
class WaylandKeyboard final : public KeySink {
 public:
  // `display` as in $WAYLAND_DISPLAY. While `standby` answers true (another sink is typing),
  // it does not connect. Waits up to 1.5 s for the first keyboard.
  explicit WaylandKeyboard(std::string display, std::function<bool()> standby = {});
  // Returns within 300 ms.
  ~WaylandKeyboard() override;
  WaylandKeyboard(const WaylandKeyboard&) = delete;
  WaylandKeyboard& operator=(const WaylandKeyboard&) = delete;

  bool usable() const override;
  bool press(std::uint16_t evdevCode, bool shift) override;
  std::string problem() const override;

  struct State;  // shared with the keeper, which may outlive this object

 private:
  std::shared_ptr<State> state_;
  std::thread keeper_;
};

}  // namespace trovik
