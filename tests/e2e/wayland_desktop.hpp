#pragma once

// The agent as a Wayland desktop's unprivileged user (65534), for whom no uinput rule was
// installed, with test windows that print their keys, on the compositor at `socket`, and a
// tablet.

#include <algorithm>
#include <memory>

#include "e2e/agent_harness.hpp"

namespace trovik::e2e {

inline const std::string kResolveActive = "app:active:com.blackmagic-design.davinci-resolve";

struct WaylandDesktop {
  // `sessionBus`, `display`: the desktop's session bus and Xwayland display, if it has them.
  WaylandDesktop(std::string socket_, const std::string& program, const std::string& configHome,
                 const std::string& sessionBus = {}, const std::string& display = {})
      : socket(std::move(socket_)),
        agent({{"--reuid=65534", "--regid=65534", "--clear-groups", program},
               {{"WAYLAND_DISPLAY", socket},
                {"XDG_CONFIG_HOME", configHome},
                {"DBUS_SESSION_BUS_ADDRESS", sessionBus},
                {"DISPLAY", display}},
               true,
               "setpriv"}) {}

  void expectTypingThrough(const std::string& compositor) {
    ASSERT_TRUE(agent.waitForLine(kListening)) << agent.errorText();
    EXPECT_TRUE(test::waitUntil([&] {
      return agent.errorText().find(
                 "trovik-helper: keyboard: typing through the compositor's virtual keyboard (" +
                 compositor + ")\n") != std::string::npos;
    })) << agent.errorText();
  }

  bool open(const std::string& appId) {
    windows.push_back(std::make_unique<test::Process>(test::ProcessOptions{
        {TROVIK_TEST_WINDOW, appId}, {{"WAYLAND_DISPLAY", socket}}, {}, true}));
    return windows.back()->waitForLine("ready");
  }

  // Windows of another application, then two of Resolve, each coming in front as it opens:
  // Resolve is activated once, and a tablet then hears it in front and keyboard access.
  void openWindowsAndGreet() {
    ASSERT_TRUE(open("org.example.other") && open("resolve") &&
                open("Com.BlackmagicDesign.Resolve.desktop"));
    ASSERT_TRUE(agent.waitForLine("Trovik: App activated: com.blackmagic-design.DaVinciResolve"))
        << agent.errorText();
    const auto opening = greet(tablet, state);
    for (const auto& heard : {std::string("ax:granted"), kResolveActive})
      EXPECT_NE(std::ranges::find(opening, heard), opening.end()) << heard;
  }

  // SPACE and shift+a from the tablet reach `window`: A between Shift's press and its
  // release, with Shift held ("key <code> <down> <modifiers>").
  void expectTyped(std::size_t window) {
    tablet.sendTo("SPACE", kCommandPort);
    tablet.sendTo("shift+a", kCommandPort);
    for (const char* line : {"key 57 1 0", "key 57 0 0", "key 42 1 0", "key 30 1 1", "key 30 0 1"})
      EXPECT_TRUE(windows[window]->waitForLine(line)) << line;
  }

  // The next state the tablet hears that starts with `prefix`; "(nothing)" within `wait`.
  std::string next(std::string_view prefix = "app:",
                   std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    while (auto datagram = state.receive(wait)) {
      if (datagram->starts_with(prefix)) return *datagram;
    }
    return "(nothing)";
  }

  const std::string socket;
  AgentProcess agent;
  std::vector<std::unique_ptr<test::Process>> windows;
  UdpPeer tablet, state{"127.0.0.1", kStatePort};
};

}  // namespace trovik::e2e
